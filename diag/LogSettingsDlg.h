// The "Log File Settings" dialog: the log file's path, chosen through a save-file
// dialog, and its maximum size in KB, chosen with a spin box between 1 and 4096 whose
// text cannot be typed into (arrows, arrow keys and the mouse wheel only). It ends only
// through "OK" (1) and "Cancel" (0); Escape and the close box do nothing.
#pragma once

#include <QDialog>

class QLineEdit;
class QSpinBox;

class CLogSettingsDlg : public QDialog {
public:
    // Fills the controls from m_szFileName and m_nSize (a size outside 1..4096 shows as
    // 1 when 0, else 4096).
    CLogSettingsDlg(QWidget* pOwner, const char* pszFileName, int nSize);

    // Runs the dialog modally: 1 for "OK", with m_szFileName and m_nSize taken from the
    // controls, 0 for "Cancel".
    int DoModal();

    char m_szFileName[261] = {};
    int m_nSize = 1;

    // "Change ...": the save-file dialog; a confirmed path shows in the location field.
    void OnChange();
    void OnOK();
    void reject() override {}  // Escape and the close box

    QLineEdit* m_hLocation = nullptr;
    QLineEdit* m_hSizeText = nullptr;
    QSpinBox* m_hSpin = nullptr;
};
