// The encryption rows of the MQTT tab: the TLS switch, the CA, client
// certificate and key files with their pickers, and the insecure switch,
// drawn in red because it lets anyone on the path pose as the broker.
#include "ui/settings_dialog.h"

#include "config/teleop_config.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>

namespace {

constexpr int kPlainPort = 1883;
constexpr int kTlsPort = 8883;
constexpr int kPathMinimumWidth = 120;
const char kInsecureStyle[] = "color: #ff5555; font-weight: bold;";
const char kCertificateFilter[] = "Certificates and keys (*.pem *.crt *.cer *.key);;All files (*)";

QLineEdit* makePathEdit(const char* objectName, const char* placeholder)
{
    auto* edit = new QLineEdit;
    edit->setObjectName(QString::fromLatin1(objectName));
    edit->setPlaceholderText(QString::fromUtf8(placeholder));
    // Paths are long; the field scrolls rather than widening the dialog.
    edit->setMinimumWidth(kPathMinimumWidth);
    return edit;
}

} // namespace

QWidget* SettingsDialog::scrollable(QWidget* page)
{
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The tab's own background shows through, in either theme.
    scroll->setObjectName(QStringLiteral("networkScroll"));
    page->setObjectName(QStringLiteral("networkPage"));
    scroll->setStyleSheet(QStringLiteral("QScrollArea#networkScroll, QWidget#networkPage { background: transparent; }"));
    scroll->viewport()->setAutoFillBackground(false);
    scroll->setWidget(page);
    return scroll;
}

void SettingsDialog::addTlsRows(QFormLayout* form)
{
    m_tlsCheck = new QCheckBox(QStringLiteral("Encrypt the connection (TLS)"));
    m_tlsCheck->setObjectName(QStringLiteral("tlsCheck"));
    m_caFileEdit = makePathEdit("caFileEdit", "System trust store");
    m_certFileEdit = makePathEdit("certFileEdit", "Optional, for brokers that want one");
    m_keyFileEdit = makePathEdit("keyFileEdit", "With the client certificate");
    m_tlsInsecureCheck = new QCheckBox(QStringLiteral("Skip certificate checks (insecure)"));
    m_tlsInsecureCheck->setObjectName(QStringLiteral("tlsInsecureCheck"));
    m_tlsInsecureCheck->setStyleSheet(QString::fromLatin1(kInsecureStyle));
    m_tlsInsecureCheck->setToolTip(
        QStringLiteral("For a lab broker with a self-signed certificate only: the link stays encrypted, "
                       "but anyone on the network path could pose as the broker."));

    form->addRow(QString(), m_tlsCheck);
    form->addRow(QStringLiteral("CA Certificate:"), pathRow(m_caFileEdit, "CA Certificate"));
    form->addRow(QStringLiteral("Client Certificate:"), pathRow(m_certFileEdit, "Client Certificate"));
    form->addRow(QStringLiteral("Client Key:"), pathRow(m_keyFileEdit, "Client Key"));
    form->addRow(QString(), m_tlsInsecureCheck);

    connect(m_tlsCheck, &QCheckBox::toggled, this, &SettingsDialog::updateTlsRows);
    // Only the operator's click moves the port between the two usual ones,
    // and only from the other usual one: a chosen port stays.
    connect(m_tlsCheck, &QCheckBox::clicked, this, [this](bool on) {
        if (m_portSpin->value() == (on ? kPlainPort : kTlsPort))
            m_portSpin->setValue(on ? kTlsPort : kPlainPort);
    });
    updateTlsRows();
}

QWidget* SettingsDialog::pathRow(QLineEdit* edit, const char* title)
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* browse = new QPushButton(QStringLiteral("Browse..."));
    browse->setObjectName(edit->objectName() + QStringLiteral("Browse"));
    layout->addWidget(edit, 1);
    layout->addWidget(browse);
    connect(browse, &QPushButton::clicked, this, [this, edit, title] {
        const QString chosen = QFileDialog::getOpenFileName(this, QString::fromUtf8(title),
                                                            QFileInfo(edit->text()).absolutePath(),
                                                            QString::fromLatin1(kCertificateFilter));
        if (!chosen.isEmpty())
            edit->setText(chosen);
    });
    return row;
}

void SettingsDialog::updateTlsRows()
{
    const bool on = m_tlsCheck->isChecked();
    for (QWidget* row : {m_caFileEdit->parentWidget(), m_certFileEdit->parentWidget(), m_keyFileEdit->parentWidget(),
                         static_cast<QWidget*>(m_tlsInsecureCheck)})
        row->setEnabled(on);
}

void SettingsDialog::loadTlsFields(const TeleopConfig::MqttConfig& mqtt)
{
    m_tlsCheck->setChecked(mqtt.tls);
    m_caFileEdit->setText(QString::fromStdString(mqtt.caFile));
    m_certFileEdit->setText(QString::fromStdString(mqtt.certFile));
    m_keyFileEdit->setText(QString::fromStdString(mqtt.keyFile));
    m_tlsInsecureCheck->setChecked(mqtt.tlsInsecure);
    updateTlsRows();
}

void SettingsDialog::applyTlsFields(TeleopConfig::MqttConfig& mqtt) const
{
    mqtt.tls = m_tlsCheck->isChecked();
    mqtt.caFile = m_caFileEdit->text().trimmed().toStdString();
    mqtt.certFile = m_certFileEdit->text().trimmed().toStdString();
    mqtt.keyFile = m_keyFileEdit->text().trimmed().toStdString();
    mqtt.tlsInsecure = m_tlsInsecureCheck->isChecked();
}
