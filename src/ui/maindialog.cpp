#include "ui/maindialog.h"

#include "controller/controller.h"
#include "ui/mainwidget.h"

MainDialog::MainDialog(QWidget* anchor, QWidget* parent)
    : BasicMessageDialog(new MainWidget, anchor, parent)
{
    setDialogSize(490, 200);
    moveToCenter();
}

void MainDialog::start()
{
    mainWidget()->updateController()->start();
}

MainWidget* MainDialog::mainWidget() const
{
    return qobject_cast<MainWidget*>(contentWidget);
}
