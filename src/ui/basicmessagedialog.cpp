#include "ui/basicmessagedialog.h"

#include "platform/platform.h"
#include "ui/clickedlabel.h"
#include "ui/moveablewidget.h"

#include "ui_basicmessagedialog.h"

#include <QDebug>
#include <QFont>
#include <QHBoxLayout>

BasicMessageDialog::BasicMessageDialog(QWidget* contentWidget, QWidget* anchor, QWidget* parent)
    : QDialog(parent), ui(new Ui::BasicMessageDialog)
{
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint);
    // Only what the panels and the style sheet paint is visible: the corners outside the outer
    // panel's radius stay transparent.
    setAttribute(Qt::WA_TranslucentBackground, true);

    QFont titleFont = ui->titleDialogLabel->font();
    titleFont.setFamily(QStringLiteral("Microsoft YaHei"));
    titleFont.setPixelSize(18);
    titleFont.setBold(true);
    ui->titleDialogLabel->setFont(titleFont);

    connect(ui->closeDialogLabel, &ClickedLabel::sig_clicked, this, &QDialog::reject);

    this->contentWidget = contentWidget;
    anchorWidget = findTopLevelWidget(anchor);
    initContent();
}

BasicMessageDialog::~BasicMessageDialog()
{
    qDebug() << "BasicMessageDialog::~BasicMessageDialog";
    delete ui;
}

void BasicMessageDialog::initContent()
{
    if (!contentWidget)
        return;
    auto* layout = new QHBoxLayout;
    layout->addWidget(contentWidget);
    layout->setContentsMargins(0, 0, 0, 0);
    ui->msgWidget->setLayout(layout);
}

void BasicMessageDialog::setDialogSize(int width, int height)
{
    if (!contentWidget)
        return;
    setFixedSize(width, height);
    // One pixel of the grey outer panel stays visible on every side as the outline.
    ui->frontWidget->setGeometry(1, 1, width - 2, height - 2);
    contentWidget->setFixedSize(width - 1, height - ui->msgHeadWidget->height() - 2);
}

void BasicMessageDialog::moveToCenter()
{
    // Without an anchor the window centres on the primary screen; there is no desktop widget to
    // remember, so anchorWidget stays null and every call centres on the screen afresh.
    if (!anchorWidget) {
        move(centredPosition(primaryScreenGeometry(), size()));
        return;
    }
    // pos() rather than geometry(): for a framed window it is the frame's corner.
    move(centredPosition(QRect(anchorWidget->pos(), anchorWidget->size()), size()));
}
