#pragma once

#include <QMessageBox>

// A modal box with a single OK button. The text is shown as written: it may
// carry file names of the installation, which must not be read as markup.
void showMessage(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                 const QString &text);
