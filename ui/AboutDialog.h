#pragma once
// The About window: program name, version and the maker's credits and links.
#include <QDialog>

class QLabel;
class QPushButton;

class TAboutDialog : public QDialog {
public:
    explicit TAboutDialog(QWidget* parent = nullptr);

    QLabel* ProgramName = nullptr;
    QLabel* Version = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;  // e-mail link
    QLabel* Label2 = nullptr;  // web page link
    QPushButton* bbOk = nullptr;

    static constexpr const char* kMailAddress = "station@tarvick.example";
    static constexpr const char* kWebPage = "https://tarvick.example/";

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Label5MouseDown();
    void Label2MouseDown();
};
