#pragma once
// The settings dialog "Настройка": a tree of pages over a notebook, editing every setting of the
// holder, the template files and the capture port's parameters.
#include <QDialog>
#include <QSpinBox>
#include <array>
#include <functional>
#include <string>

#include "config/StationSettings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class QTimeEdit;
class TPortComboBox;
class TSerialPort;

// A numeric field with up and down buttons: text that is not a number reads as the minimum, and
// a value outside the range is pulled into it when set or when the field loses the focus.
class TSpinEdit : public QSpinBox {
public:
    TSpinEdit(int minimum, int maximum, int maxLength, QWidget* parent = nullptr);
    // The value the text stands for right now (the pending text of a focused field included).
    int Value() const;

protected:
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
    int valueFromText(const QString& text) const override;

private:
    int Interpret(const QString& text) const;
};

class TSettingsDialog : public QDialog, private ITemplateSavePage {
public:
    TSettingsDialog(TStationSettings& settings, TSerialPort& port, QWidget* parent = nullptr);
    ~TSettingsDialog() override;

    // Confirming disconnects the call database through this (the main window's data module).
    std::function<void()> OnDisconnectDatabase;
    // Writes the settings table; raises on failure.
    std::function<void()> OnSaveSettings;
    // Writes mail.ini; raises on failure.
    std::function<void()> OnSaveMailSettings;
    // Writes db.ini; raises on failure.
    std::function<void()> OnSaveDbLogin;
    // A template saved on the template page becomes the settings' Template; this loads it into
    // the running station at once. False when it cannot be read.
    std::function<bool()> OnUseTemplate;
    // How the columns and keys shown cut a line, for the preview.
    std::function<TLineCut(const TTemplateColumns&, const TTemplateFormat&, const std::string&)>
        OnCutLine;
    // The file name of the template of the station directory that reads the lines best, when
    // one reads at least nine in ten of them; empty otherwise.
    std::function<std::string(const std::vector<std::string>& lines)> OnDetectTemplate;

    // The last line received in the main window's log (Windows-1251), shown by the template
    // preview; a sample line of the selected template's exchange stands in when it is empty.
    void SetLastLine(const std::string& line);
    // The lines received so far (Windows-1251), for "Подобрать шаблон".
    void SetReceivedLines(std::vector<std::string> lines) { ReceivedLines_ = std::move(lines); }
    const std::string& LastLine() const { return LastLine_; }
    // The line the preview shows now, Windows-1251.
    const std::string& PreviewLine() const { return PreviewLine_; }

    void SelectPage(int index);
    int SelectedNodeIndex() const;

    void ShowTemplateFile();
    void SetTemplateEditing(bool editing);

    // Handlers.
    void TreeViewClick();
    void cbEmptyLenClick();
    void cbPubSendMailClick();
    void cbNeedAllRightClick();
    void cbNeedSilenceClick();
    void cbTemplatesChange();
    void sbRefreshClick();
    void sbNewClick();
    void sbSaveClick();
    void bbOkClick();
    void bbCloseClick();

    // Controls, named as their object names.
    QTreeWidget* TreeView = nullptr;
    QStackedWidget* Notebook = nullptr;
    QPushButton* bbOk = nullptr;
    QPushButton* bbClose = nullptr;

    QLineEdit* eDBPath = nullptr;
    QLineEdit* eUserDB = nullptr;
    QLineEdit* ePasswordDB = nullptr;
    QLineEdit* eRoleDB = nullptr;
    QCheckBox* cbShowBuffer = nullptr;
    QCheckBox* cbAutoRun = nullptr;
    QCheckBox* cbHideRun = nullptr;
    TSpinEdit* sePortSMTP = nullptr;
    QLineEdit* eAddrSMTP = nullptr;
    QLineEdit* eFromSMTP = nullptr;
    QComboBox* cbSecurity = nullptr;  // none, STARTTLS, TLS: the order of TMailSecurity
    QLineEdit* eUserSMTP = nullptr;
    QLineEdit* ePasswordSMTP = nullptr;

    QComboBox* cbTemplates = nullptr;
    QLineEdit* eNameFile = nullptr;
    QToolButton* sbRefresh = nullptr;
    QToolButton* sbNew = nullptr;
    QToolButton* sbSave = nullptr;
    QLineEdit* eComment = nullptr;
    TSpinEdit* seRDay = nullptr;
    TSpinEdit* seRMonth = nullptr;
    TSpinEdit* seRYear = nullptr;
    TSpinEdit* seRHour = nullptr;
    TSpinEdit* seRMin = nullptr;
    TSpinEdit* seRSec = nullptr;
    TSpinEdit* seRAMPM = nullptr;
    TSpinEdit* seRLine = nullptr;
    TSpinEdit* seNumberIn = nullptr;
    TSpinEdit* seTimeHour = nullptr;
    TSpinEdit* seTimeMin = nullptr;
    TSpinEdit* seTimeSec = nullptr;
    TSpinEdit* seNumberOut = nullptr;
    QLabel* lPreview = nullptr;        // the line with each field's stretch in its colour
    QLabel* lPreviewFields = nullptr;  // the field texts as the assembler cuts them
    QLabel* lFormat = nullptr;         // the template's keys beyond the columns
    QPushButton* bDetect = nullptr;    // "Подобрать шаблон"

    QCheckBox* cbIncomLog = nullptr;
    QCheckBox* cbEmptyLen = nullptr;
    TSpinEdit* seMinEmpty = nullptr;
    TSpinEdit* seMinLenPhon = nullptr;
    TSpinEdit* seMaxLenPhon = nullptr;

    TPortComboBox* ComComboBox[6] = {};  // ComComboBox1 .. ComComboBox6
    // An exchange on the network: the answers to a tcp:// exchange's login prompt, who may
    // connect to a listen:// port, and how soon a silent exchange is dropped.
    QLineEdit* eNetLogin = nullptr;
    QLineEdit* eNetPassword = nullptr;
    QLineEdit* eNetAllow = nullptr;
    TSpinEdit* seKeepAlive = nullptr;
    TSpinEdit* seIdle = nullptr;

    QCheckBox* cbPubSendMail = nullptr;
    // alerts.ini: the watchdog's working days (Monday first) and hours, the longest silence, the
    // grace time, and the alerts' recipient.
    std::array<QCheckBox*, 7> cbWorkDay{};
    QTimeEdit* teWorkFrom = nullptr;
    QTimeEdit* teWorkTo = nullptr;
    TSpinEdit* seSilenceMinutes = nullptr;
    TSpinEdit* seGraceMinutes = nullptr;
    QLineEdit* eAlertAddress = nullptr;
    QCheckBox* cbReportMonthly = nullptr;  // reports.ini: the report mail of each month
    QCheckBox* cbReportWeekly = nullptr;   // and of each week
    QLineEdit* eSubjSendMail = nullptr;
    QPlainTextEdit* mMsgFooter = nullptr;

    QLineEdit* eMsgAddress = nullptr;
    QCheckBox* cbNeedAllRight = nullptr;
    QLineEdit* eSubjAllRight = nullptr;
    QPlainTextEdit* mMsgAllRight = nullptr;
    QCheckBox* cbNeedSilence = nullptr;
    TSpinEdit* seDaysSilence = nullptr;
    QLineEdit* eSubjSilence = nullptr;
    QPlainTextEdit* mMsgSilence = nullptr;

    bool Filling = false;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildTree();
    void BuildGeneralPage();
    void BuildTemplatePage();
    void BuildRulesPage();
    void BuildPortPage();
    // The network fields open for the kind of source the port name names.
    void UpdateNetworkFields();
    void BuildMailPage();
    void BuildMessagesPage();
    void FormCreate();
    void TreeViewCollapsing(QTreeWidgetItem* item);
    bool eNameFileKeyPress(QKeyEvent* event);

    // What the settings table's text field holds; a memo field, or a table that did not load,
    // sets no limit.
    int FieldWidth(const char* field) const;
    // The thirteen column fields in the order of the template columns (Day .. NumberOut).
    std::array<TSpinEdit*, 13> TemplateSpins() const;
    void ShowColumns(const TTemplateColumns& c);
    TTemplateColumns ShownColumns() const;
    std::string SelectedTemplate() const;
    void RefreshSample();
    void UpdatePreview();
    void ReportError(const std::exception& e);

    // The template save's questions and messages.
    void FocusNameField() override;
    void ShowMessage(const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    void SwitchToViewing() override;
    void SetTemplateList(const std::vector<std::string>& upperNames, int selected) override;

    TStationSettings& Settings;
    TSerialPort& Port;
    std::string LastLine_;
    std::string Sample;  // the selected template's sample line
    std::string PreviewLine_;
    std::vector<std::string> ReceivedLines_;
    TTemplateFormat ShownFormat_;
    void ShowFormat(const TTemplateFormat& f);
    void bDetectClick();
};
