#pragma once
// The what's-new window: newread.txt from the program directory.
#include <QDialog>
#include <string>

class QPlainTextEdit;
class QPushButton;

class TWhatsNewDialog : public QDialog {
public:
    explicit TWhatsNewDialog(QWidget* parent = nullptr);

    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* BitBtn1 = nullptr;

private:
    void FormCreate();
};
