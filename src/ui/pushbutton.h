#pragma once

// A push button class of the widget set; it adds nothing to QPushButton yet and no window of the
// program uses it.

#include <QPushButton>

class PushButton : public QPushButton
{
    Q_OBJECT

public:
    explicit PushButton(QWidget* parent = nullptr);
};
