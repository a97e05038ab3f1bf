#include "dialog/updatedialog.h"
