#pragma once

// The progress window: the frameless dialog frame holding the progress panel, 490 x 200 and
// centred.

#include "ui/basicmessagedialog.h"

class MainWidget;

class MainDialog : public BasicMessageDialog
{
    Q_OBJECT

public:
    MainDialog(QWidget* anchor = nullptr, QWidget* parent = nullptr);

    // Begins the update; called once, after the window has been shown.
    void start();

    MainWidget* mainWidget() const;
};
