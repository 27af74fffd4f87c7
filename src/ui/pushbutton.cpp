#include "ui/pushbutton.h"

PushButton::PushButton(QWidget* parent) : QPushButton(parent) {}
