#include "diag/LogSettingsDlg.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>

#include <cstdio>

CLogSettingsDlg::CLogSettingsDlg(QWidget* pOwner, const char* pszFileName, int nSize)
    : QDialog(pOwner)
{
    std::snprintf(m_szFileName, sizeof m_szFileName, "%s", pszFileName ? pszFileName : "");
    m_nSize = nSize;
    setWindowTitle("Log File Settings");
    setModal(true);

    auto* layout = new QGridLayout(this);
    layout->addWidget(new QLabel("Location:", this), 0, 0, 1, 3);
    m_hLocation = new QLineEdit(QString::fromLocal8Bit(m_szFileName), this);
    m_hLocation->setReadOnly(true);
    m_hLocation->setMinimumWidth(300);
    layout->addWidget(m_hLocation, 1, 0, 1, 2);
    auto* change = new QPushButton("Change ...", this);
    change->setAutoDefault(false);
    layout->addWidget(change, 1, 2);

    layout->addWidget(new QLabel("Max Size (KB):", this), 2, 0);
    m_hSpin = new QSpinBox(this);
    m_hSpin->setRange(1, 4096);
    m_hSpin->setValue(nSize >= 1 && nSize <= 4096 ? nSize : nSize == 0 ? 1 : 4096);
    m_hSpin->setGroupSeparatorShown(false);
    m_hSpin->setAccelerated(true);
    m_hSizeText = m_hSpin->findChild<QLineEdit*>();
    m_hSizeText->setReadOnly(true);  // the size changes through the arrows only
    layout->addWidget(m_hSpin, 2, 1);

    auto* ok = new QPushButton("OK", this);
    ok->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    buttons->addStretch();
    layout->addLayout(buttons, 3, 0, 1, 3);

    connect(change, &QPushButton::clicked, this, [this] { OnChange(); });
    connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(cancel, &QPushButton::clicked, this, [this] { done(0); });
}

int CLogSettingsDlg::DoModal()
{
    return exec() == 1 ? 1 : 0;
}

void CLogSettingsDlg::OnChange()
{
    QFileDialog dialog(this, "Save log file as", m_hLocation->text(), "Log files (*.log)");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix("log");
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QByteArray path = dialog.selectedFiles().first().toLocal8Bit();
    std::snprintf(m_szFileName, sizeof m_szFileName, "%s", path.constData());
    m_hLocation->setText(QString::fromLocal8Bit(m_szFileName));
}

void CLogSettingsDlg::OnOK()
{
    const QByteArray path = m_hLocation->text().toLocal8Bit();
    std::snprintf(m_szFileName, sizeof m_szFileName, "%.259s", path.constData());
    m_nSize = m_hSpin->value();
    if (m_nSize >= 1 && m_nSize <= 4096) {
        done(1);
        return;
    }
    QMessageBox::critical(this, "Error",
                          "Please enter a value between 1 and 4096 KB for the log file size");
}
