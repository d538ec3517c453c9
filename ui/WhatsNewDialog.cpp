#include "ui/WhatsNewDialog.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <fstream>
#include <iterator>

#include "platform/ProgramDir.h"
#include "platform/QtText.h"

TWhatsNewDialog::TWhatsNewDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("WhatsNewDialog");
    setWindowTitle(QString::fromUtf8("Новое в версии"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    auto* layout = new QVBoxLayout(this);
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setBackgroundRole(QPalette::Window);
    Memo1->viewport()->setAutoFillBackground(false);
    Memo1->setPlainText(QString::fromUtf8("Файл NewRead.txt не найден !"));
    layout->addWidget(Memo1);
    BitBtn1 = new QPushButton(QString::fromUtf8("Ок"), this);
    BitBtn1->setObjectName("BitBtn1");
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::reject);
    layout->addWidget(BitBtn1, 0, Qt::AlignCenter);
    resize(480, 360);
    setFixedSize(size());
    FormCreate();
}

void TWhatsNewDialog::FormCreate() {
    std::ifstream in(platform::FileInDir(platform::ProgramDir(), "newread.txt"), std::ios::binary);
    if (!in) return;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Line breaks as in the file; a final break ends the last line rather than adding one.
    std::string lines;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        lines += text[i] == '\r' ? '\n' : text[i];
    }
    if (!lines.empty() && lines.back() == '\n') lines.pop_back();
    Memo1->setPlainText(platform::FromAnsi(lines));
}
