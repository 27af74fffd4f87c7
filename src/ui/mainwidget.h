#pragma once

// The progress panel: a status line, a progress bar and a percentage. It creates and owns the
// Controller, and shows every progress record that the Controller relays from the worker.

#include "update/updateprogress.h"

#include <QWidget>

class Controller;

namespace Ui
{
class MainWidget;
}

class MainWidget : public QWidget
{
    Q_OBJECT

public:
    explicit MainWidget(QWidget* parent = nullptr);
    // Deletes the Controller, which waits for the worker thread to end.
    ~MainWidget() override;

    Controller* updateController() const { return controller; }

public slots:
    void slot_updateProgressInfo(UpdateProgress data);

private:
    Ui::MainWidget* ui;
    Controller* controller;
};
