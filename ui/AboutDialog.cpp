#include "ui/AboutDialog.h"

#include <QDesktopServices>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {
QLabel* CenteredLabel(const QString& text, const char* name, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    l->setAlignment(Qt::AlignCenter);
    return l;
}

void MakeLink(QLabel* l) {
    l->setStyleSheet("color: blue; text-decoration: underline;");
    l->setCursor(Qt::PointingHandCursor);
}
}  // namespace

TAboutDialog::TAboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("AboutDialog");
    setWindowTitle(QString::fromUtf8("О программе ..."));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    QFont bold = font();
    bold.setBold(true);
    setFont(bold);

    auto* outer = new QVBoxLayout(this);
    auto* frame = new QFrame(this);
    frame->setFrameShape(QFrame::Panel);
    frame->setFrameShadow(QFrame::Raised);
    auto* inner = new QVBoxLayout(frame);
    ProgramName = CenteredLabel("Tarvick", "ProgramName", frame);
    QFont big = bold;
    big.setPointSize(big.pointSize() + 6);
    ProgramName->setFont(big);
    Version = CenteredLabel(QString::fromUtf8("v1.8 от 13.12.2012"), "Version", frame);
    QFont regular = font();
    regular.setBold(false);
    Version->setFont(regular);
    Label1 = CenteredLabel(QString::fromUtf8("Разработка: мастерская Тарвик"), "Label1", frame);
    Label4 = CenteredLabel(QString::fromUtf8("Учёт звонков для офисных АТС"), "Label4", frame);
    Label5 = CenteredLabel(kMailAddress, "Label5", frame);
    Label2 = CenteredLabel(kWebPage, "Label2", frame);
    MakeLink(Label5);
    MakeLink(Label2);
    Label5->installEventFilter(this);
    Label2->installEventFilter(this);
    for (QLabel* l : {ProgramName, Version, Label1, Label4, Label5, Label2}) inner->addWidget(l);
    outer->addWidget(frame);

    bbOk = new QPushButton("Ok", this);
    bbOk->setObjectName("bbOk");
    connect(bbOk, &QPushButton::clicked, this, &QDialog::accept);
    outer->addWidget(bbOk, 0, Qt::AlignCenter);
    setFixedSize(sizeHint());
}

bool TAboutDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress) {
        if (watched == Label5) Label5MouseDown();
        if (watched == Label2) Label2MouseDown();
    }
    return QDialog::eventFilter(watched, event);
}

// The shell's answer is not examined: a desktop without a mail program or browser is no error.
void TAboutDialog::Label5MouseDown() {
    QDesktopServices::openUrl(QUrl(QString("mailto:") + kMailAddress));
}

void TAboutDialog::Label2MouseDown() {
    QDesktopServices::openUrl(QUrl(Label2->text()));
}
