#include "app/startup.h"

int qMain(int, char **) { return 0; }
