#include "win_hw_config.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <array>

#include <platform/registry.h>
#include <platform/utf16.h>

#include "app/services.h"
#include "product_info.h"
#include "services/product_key.h"
#include "testing/result_text.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt {
namespace {

constexpr int kMaxHardware = 40;
constexpr int kMaxNetworks = 60;
constexpr int kTextPadding = 12;  // pixels either side of a button's text
constexpr int kAddRates[] = {1000, 800, 500, 250, 125, 50, 20, 10};

QPushButton* button(const QString& text, const QString& hint, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setToolTip(hint);
    b->setAutoDefault(false);
    // The style's own width leaves the text touching the frame.
    b->setMinimumWidth(std::max(b->sizeHint().width(), b->fontMetrics().horizontalAdvance(text) + 2 * kTextPadding));
    return b;
}

// The index to show after a refill: the old one, limited to the list, and the first for none.
void restoreIndex(QComboBox* list, int index) {
    if (list->count() == 0)
        return;
    index = std::min(index, list->count() - 1);
    list->setCurrentIndex(index < 0 ? 0 : index);
}

int32_t handleOf(const QComboBox* list) {
    return list->currentIndex() < 0 ? -1 : list->currentData().toInt();
}

} // namespace

// ---- Add Network ----

TWin_HWConfigAddNet::TWin_HWConfigAddNet(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Add Network"));
    auto* form = new QFormLayout();
    name_ = new QLineEdit(QStringLiteral("MyNetwork"), this);
    name_->setObjectName(QStringLiteral("name"));
    name_->setMaxLength(39);
    baudlist_ = new QComboBox(this);
    baudlist_->setObjectName(QStringLiteral("baudlist"));
    for (const char* rate : {"1Mbps", "800kbps", "500kbps", "250kbps", "125kbps", "50kbps", "20kbps", "10kbps"})
        baudlist_->addItem(QString::fromLatin1(rate));
    baudlist_->setCurrentIndex(0);
    form->addRow(QStringLiteral("Network Name:"), name_);
    form->addRow(QStringLiteral("Baud Rate:"), baudlist_);
    auto* add = new QPushButton(QStringLiteral("Add"), this);
    add->setObjectName(QStringLiteral("add"));
    add->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancel"));
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(add);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    connect(add, &QPushButton::clicked, this, &TWin_HWConfigAddNet::addClick);
    connect(cancel, &QPushButton::clicked, this, &TWin_HWConfigAddNet::cancelClick);
}

bool TWin_HWConfigAddNet::Execute(const QString& hardwareName) {
    setWindowTitle(QStringLiteral("Add Network to ") + hardwareName);
    added = false;
    exec();
    return added;
}

void TWin_HWConfigAddNet::addClick() {
    networkName = name_->text();
    const int index = baudlist_->currentIndex();
    if (index >= 0 && index < static_cast<int>(std::size(kAddRates)))
        baudrate = kAddRates[index];
    added = true;
    accept();
}

void TWin_HWConfigAddNet::cancelClick() {
    added = false;
    reject();
}

// ---- Hardware Error ----

TWin_HWInitError::TWin_HWInitError(UserPrompt& prompt, DesktopOpen desktop, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Hardware Error"));
    error_ = new QLabel(this);
    error_->setObjectName(QStringLiteral("error"));
    error_->setWordWrap(true);
    error_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* description = new QLabel(
        QStringLiteral("Ensure the drivers for the CAN interface have been installed. If they have not been installed "
                       "then click on one of the links below to go to the driver download web page."),
        this);
    description->setWordWrap(true);
    description->setFixedWidth(360);
    error_->setFixedWidth(description->width());
    auto* download = new QLabel(QStringLiteral("<a href=\"%1\" style=\"font-weight:bold\">Trovel Interfaces</a>")
                                    .arg(QString::fromUtf8(kDriverDownloadUrl)),
                                this);
    download->setObjectName(QStringLiteral("troveldownload"));
    download->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    connect(download, &QLabel::linkActivated, this, OpenerFor(prompt, std::move(desktop)));
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("close"));
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(error_);
    layout->addWidget(description);
    layout->addWidget(download);
    layout->addWidget(close, 0, Qt::AlignRight);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TWin_HWInitError::SetMessage(const QString& text) { error_->setText(text); }
QString TWin_HWInitError::message() const { return error_->text(); }

// ---- Hardware Configuration ----

TWin_HWConfig::TWin_HWConfig(CanopenApi& api, HardwareConfig& config, UserPrompt& prompt, DesktopOpen desktop,
                             QWidget* parent)
    : QDialog(parent), api_(api), config_(config) {
    setWindowTitle(QStringLiteral("Hardware Configuration"));
    // A new dialog starts over; the library the program started with stays.
    std::string driverLibrary = std::move(config_.driverLibrary);
    config_ = HardwareConfig{};
    config_.driverLibrary = std::move(driverLibrary);

    hwlist_ = new QComboBox(this);
    hwlist_->setObjectName(QStringLiteral("hwlist"));
    hwlist_->setToolTip(QStringLiteral("Select your CAN interface"));
    hwlist_->setMinimumWidth(240);
    netlist_ = new QComboBox(this);
    netlist_->setObjectName(QStringLiteral("netlist"));
    netlist_->setToolTip(QStringLiteral("Select the network you wish to use"));
    addbutton_ = button(QStringLiteral("Add Network"), QStringLiteral("Click to add a new network"), this);
    addbutton_->setObjectName(QStringLiteral("addbutton"));
    hwconfigbutton_ = button(QStringLiteral("Configure Hardware"),
                             QStringLiteral("Click to configure the CAN interface settings"), this);
    hwconfigbutton_->setObjectName(QStringLiteral("hwconfigbutton"));
    // The interfaces here are set up outside the program: there is no applet to start.
    hwconfigbutton_->setEnabled(false);
    deletebutton_ = button(QStringLiteral("Delete Network"),
                           QStringLiteral("Click to delete the current network shown above"), this);
    deletebutton_->setObjectName(QStringLiteral("deletebutton"));
    ok_ = button(QStringLiteral("OK"), QStringLiteral("Click to configure the CAN interface"), this);
    ok_->setObjectName(QStringLiteral("ok"));
    ok_->setDefault(true);
    cancel_ = button(QStringLiteral("Cancel"), QStringLiteral("Click to ignore changes and close the application"), this);
    cancel_->setObjectName(QStringLiteral("cancel"));

    driverProblem_ = new QLabel(this);
    driverProblem_->setObjectName(QStringLiteral("driverproblem"));
    driverProblem_->setWordWrap(true);
    driverProblem_->setMaximumWidth(400);
    driverProblem_->setStyleSheet(QStringLiteral("color: #C00000"));
    driverProblem_->hide();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(driverProblem_);
    SetDriverProblem(QString::fromStdString(DriverLibraryProblem(config_.driverLibrary)));
    layout->addWidget(new QLabel(QStringLiteral("Select Hardware:"), this));
    layout->addWidget(hwlist_);
    layout->addWidget(new QLabel(QStringLiteral("Select Network:"), this));
    layout->addWidget(netlist_);
    auto* netButtons = new QHBoxLayout();
    netButtons->addWidget(addbutton_);
    netButtons->addWidget(deletebutton_);
    netButtons->addWidget(hwconfigbutton_);
    layout->addLayout(netButtons);
    layout->addSpacing(8);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    addNet_ = new TWin_HWConfigAddNet(this);
    initError_ = new TWin_HWInitError(prompt, std::move(desktop), this);

    // User actions only: refilling a list must not come back as a change.
    connect(hwlist_, &QComboBox::activated, this, [this] {
        SelectHardware();
        FillNetworkList();
    });
    connect(addbutton_, &QPushButton::clicked, this, &TWin_HWConfig::addbuttonClick);
    connect(deletebutton_, &QPushButton::clicked, this, &TWin_HWConfig::deletebuttonClick);
    connect(ok_, &QPushButton::clicked, this, &TWin_HWConfig::okClick);
    connect(cancel_, &QPushButton::clicked, this, &TWin_HWConfig::cancelClick);

    FillHardwareList();
    LoadSettings();
    FillHardwareList();
}

void TWin_HWConfig::FillHardwareList() {
    const int index = hwlist_->currentIndex();
    hwlist_->clear();
    std::array<HardwareInfo, kMaxHardware> hardware{};
    const int32_t n = std::clamp(api_.enumerateHardware(hardware.data(), kMaxHardware), 0, kMaxHardware);
    for (int32_t i = 0; i < n; ++i) {
        const auto& info = hardware[static_cast<size_t>(i)];
        const std::string name = platform::toUtf8(platform::fieldView(info.name, DRN_HARDWARE_NAME_CHARS));
        hwlist_->addItem(QString::fromStdString(name), static_cast<int>(info.hardwareHandle));
    }
    restoreIndex(hwlist_, index);
    SelectHardware();
    FillNetworkList();
}

void TWin_HWConfig::SetDriverProblem(const QString& text) {
    driverProblem_->setText(text);
    driverProblem_->setVisible(!text.isEmpty());
}

QString TWin_HWConfig::driverProblem() const { return driverProblem_->text(); }

void TWin_HWConfig::SelectHardware() { config_.hardwareHandle = handleOf(hwlist_); }

void TWin_HWConfig::FillNetworkList() {
    const int index = netlist_->currentIndex();
    netlist_->clear();
    if (config_.hardwareHandle == -1)
        return;
    std::array<NetworkInfo, kMaxNetworks> networks{};
    const int32_t n = std::clamp(
        api_.enumerateNetworks(networks.data(), kMaxNetworks, static_cast<uint32_t>(config_.hardwareHandle)), 0,
        kMaxNetworks);
    for (int32_t i = 0; i < n; ++i) {
        const auto& info = networks[static_cast<size_t>(i)];
        const QString name =
            QString::fromStdString(platform::toUtf8(platform::fieldView(info.name, DRN_NETWORK_NAME_CHARS)));
        const QString rate = info.baudKbit != 0
                                 ? QString::fromStdString(BaudrateText(static_cast<int32_t>(info.baudKbit)))
                                 : QStringLiteral("unknown");
        netlist_->addItem(QStringLiteral("%1 (%2)").arg(name, rate), static_cast<int>(info.networkHandle));
    }
    restoreIndex(netlist_, index);
}

void TWin_HWConfig::LoadSettings() {
    auto key = platform::RegistryKey::open(platform::RegistryRoot::CurrentUser, kProductKey);
    if (!key)
        return;
    const auto select = [](QComboBox* list, const std::optional<std::string>& text) {
        const int found = text ? list->findText(QString::fromStdString(*text), Qt::MatchFixedString) : 0;
        list->setCurrentIndex(found);  // -1 for none: the refill then takes the first
    };
    select(hwlist_, key->readString("hwtype"));
    FillHardwareList();
    select(netlist_, key->readString("netname"));
    FillNetworkList();
}

void TWin_HWConfig::SaveSettings() {
    auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, kProductKey);
    if (!key)
        return;
    key->writeString("hwtype", hwlist_->currentText().toStdString());
    key->writeString("netname", netlist_->currentText().toStdString());
}

void TWin_HWConfig::addbuttonClick() {
    // Networks belong to an interface: with none listed there is nothing to add to.
    if (config_.hardwareHandle == -1)
        return;
    if (!addNet_->Execute(hwlist_->currentText()))
        return;
    char16_t name[DRN_NETWORK_NAME_CHARS] = {};
    platform::copyBounded(name, DRN_NETWORK_NAME_CHARS, std::u16string_view(
        reinterpret_cast<const char16_t*>(addNet_->networkName.utf16()), static_cast<size_t>(addNet_->networkName.size())));
    (void)api_.addNetwork(name, static_cast<uint32_t>(addNet_->baudrate), static_cast<uint32_t>(config_.hardwareHandle));
    FillNetworkList();
    if (netlist_->count() > 0)
        netlist_->setCurrentIndex(netlist_->count() - 1);
}

void TWin_HWConfig::deletebuttonClick() {
    if (netlist_->currentIndex() < 0)
        return;
    config_.networkHandle = handleOf(netlist_);
    if (config_.networkHandle != -1)
        (void)api_.deleteNetwork(static_cast<uint32_t>(config_.networkHandle));
    FillNetworkList();
}

void TWin_HWConfig::okClick() {
    config_.hardwareHandle = handleOf(hwlist_);
    config_.networkHandle = handleOf(netlist_);
    if (config_.hardwareHandle == -1 || config_.networkHandle == -1) {
        config_.initialised = false;
        return;
    }
    const std::u16string client = platform::toUtf16(kProductName).substr(0, 99);
    ResultBlock result{};
    api_.initialize(static_cast<uint32_t>(config_.networkHandle), client.c_str(), &result);
    if (result.code != 0) {
        initError_->SetMessage(QString::fromStdString(ResultToText(result)));
        initError_->exec();
        config_.initialised = false;
        return;
    }
    // A rate the library cannot tell is no rate, not a negative one.
    config_.baudrate = std::max(0, api_.getBaudrate(static_cast<uint32_t>(config_.networkHandle)));
    config_.initialised = true;
    SaveSettings();
    accept();
}

void TWin_HWConfig::cancelClick() { reject(); }

void TWin_HWConfig::reject() {
    config_.initialised = false;
    QDialog::reject();
}

} // namespace ostrel::vessolt
