#include "ui/mainwidget.h"

#include "controller/controller.h"

#include "ui_mainwidget.h"

#include <QDebug>

MainWidget::MainWidget(QWidget* parent) : QWidget(parent), ui(new Ui::MainWidget)
{
    ui->setupUi(this);
    controller = new Controller;
    connect(controller, &Controller::sig_updateProgress, this,
            &MainWidget::slot_updateProgressInfo);
    ui->progressBar->setValue(0);
}

MainWidget::~MainWidget()
{
    delete controller;
    delete ui;
}

void MainWidget::slot_updateProgressInfo(UpdateProgress data)
{
    qDebug() << "progress:" << data.finished << data.total << data.current;
    int value = 0;
    if (data.total > 0) {
        ui->progressBar->setMaximum(data.total);
        value = qMin(data.finished + data.current, data.total);
    }
    ui->progressBar->setValue(value);
    // The bar's own text is the truncated whole percentage, even while it is hidden on the bar.
    ui->percentLabel->setText(ui->progressBar->text());
    ui->tipLabel->setText(data.tip);
}
