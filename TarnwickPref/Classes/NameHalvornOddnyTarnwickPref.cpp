#include "NameHalvornOddnyTarnwickPref.h"

#include <algorithm>
#include <limits>

#include "CardDiscovery.h"
#include "CardReadout.h"
#include "ReapplyGuard.h"
#include "TypedClock.h"
#include "host/Log.h"

namespace {
constexpr const char* kStartupCheckboxStateKey = "startupCheckboxState";
constexpr const char* kMachineUnreadableKey = "machineUnreadable";
constexpr const char* kUnreadCardCountKey = "unreadCardCount";
constexpr const char* kLastSaveSucceededKey = "lastSaveSucceeded";
constexpr const char* kUnrestoredCardCountKey = "unrestoredCardCount";
// The help pages the alerts' texts point to.
constexpr const char* kChangeFailedAnchor = "change-failed";
constexpr const char* kReapplyUnfinishedAnchor = "reapply-unfinished";

// An address inside this module, to find the bundle that holds the class.
void classAnchor() {}

// The steppers move between one clock step and the highest clock a user may
// ask for (twice the stock clock, or the current clock when it is higher), so
// a click can never ask for 0 MHz, an overclock stays within reach of stock,
// and a clock set here is one the next login accepts.
void setStepperLimits(NSStepper& stepper, const Card& card, float stock, float current) {
    stepper.setValueWraps(false);
    stepper.setMinValue(card.clockStep());
    stepper.setMaxValue(
        std::max({clockCeiling(stock, card).highestAsked, static_cast<double>(current),
                  static_cast<double>(card.clockStep())}));
}
}  // namespace

NameHalvornOddnyTarnwickPref::NameHalvornOddnyTarnwickPref() = default;

NameHalvornOddnyTarnwickPref::~NameHalvornOddnyTarnwickPref() = default;

std::uint32_t NameHalvornOddnyTarnwickPref::determineCardBrandWithDriver(io_service_t driver) {
    return vendorIDOfDriverParent(driver);
}

bool NameHalvornOddnyTarnwickPref::initWithBundle(std::shared_ptr<NSBundle> bundle) {
    // 1.
    if (!NSPreferencePane::initWithBundle(std::move(bundle))) return false;

    // 2. Never removed while the pane lives.
    NSNotificationCenter::defaultCenter().addObserver(
        this, [this](const NSNotification& notification) { saveChanges(&notification); },
        NSApplicationWillTerminateNotification, nullptr);

    // 3. A class linked into the host program itself has the program's
    // bundle, or else the one it was opened with.
    selfBundle_ = NSBundle::bundleForAddress(reinterpret_cast<const void*>(&classAnchor));
    if (!selfBundle_) selfBundle_ = NSPreferencePane::bundle();
    cardsArray_.clear();

    // 4. to 6. Discovery, guarded like the startup tool's reapply: an ATI
    // card's creation already programs it, which could hang the machine.
    // Clocks whose last reapply never finished are not applied again, and no
    // card is programmed, as with the Option key held. The saved clocks are
    // put back once the pane is shown (didSelect), so that its window is up
    // with the cards listed meanwhile.
    const bool optionKey = (NSApp.currentEvent().modifierFlags() & NSAlternateKeyMask) != 0;
    const ReapplyOutcome creation =
        reapplyGuarded(Reapplier::Pane, kReapplyAtPaneOpen, [&] { findCardsAndSettings(); });
    if (creation == ReapplyOutcome::SkippedUnfinished) {
        lastReapplyUnfinished_ = true;
        withProgrammingRefused([&] { findCardsAndSettings(); });
    }
    reapplyUnrecorded_ = creation == ReapplyOutcome::SkippedUnrecorded;
    restorePending_ =
        savedDomain_ && !optionKey && creation == ReapplyOutcome::Done && !cardsArray_.empty();
    if (!restorePending_) {
        if (savedDomain_) takeStockSettingsFromCardEntries(*savedDomain_);
        // 7.
        setStockSettingsOfEveryCard();
    }

    // 8.
    registerHelpBook();
    return true;
}

void NameHalvornOddnyTarnwickPref::findCardsAndSettings() {
    // 4. Card discovery, by this pane's brand lookup; the card library
    // makes the card of each vendor.
    DiscoveredCards found = discoverCards(
        [this](io_service_t service) { return determineCardBrandWithDriver(service); });
    cardsArray_ = std::move(found.cards);
    unreadCards_ = std::move(found.unreadCards);
    machineUnreadable_ = found.registryUnreadable;

    // 5. Saved settings.
    const std::optional<std::string> identifier = selfBundle_->bundleIdentifier();
    savedDomain_ = identifier
                       ? NSUserDefaults::standardUserDefaults().persistentDomainForName(*identifier)
                       : std::nullopt;
    // 6., the startup setting.
    if (savedDomain_)
        startupCheckboxState_ = cf::boolValue(savedDomain_->get(kSetAtStartupKey)) ? 1 : 0;
}

void NameHalvornOddnyTarnwickPref::setStockSettingsOfEveryCard() {
    for (auto card = cardsArray_.rbegin(); card != cardsArray_.rend(); ++card)
        (*card)->setStockSettings();
}

void NameHalvornOddnyTarnwickPref::didSelect() {
    if (!restorePending_) return;
    restorePending_ = false;
    // 6., the saved clocks, guarded as at creation.
    switch (reapplyGuarded(Reapplier::Pane, kReapplyAtPaneOpen,
                           [&] { applySavedCards(*savedDomain_, cardsArray_); })) {
    case ReapplyOutcome::Done: break;
    case ReapplyOutcome::SkippedUnfinished:
        lastReapplyUnfinished_ = true;
        takeStockSettingsFromCardEntries(*savedDomain_);
        break;
    case ReapplyOutcome::SkippedUnrecorded: reapplyUnrecorded_ = true; break;
    }
    // 7.
    setStockSettingsOfEveryCard();
    restoreProgressIndicator_.stopAnimation(this);
    setControlsEnabled(true);
    showOpenedPane();
}

void NameHalvornOddnyTarnwickPref::setControlsEnabled(bool enabled) {
    for (NSControl* control : std::initializer_list<NSControl*>{
             &vpuStepper_, &memoryStepper_, &vpuTextField_, &vpuPercentTextField_,
             &memoryTextField_, &memPercentTextField_, &defaultButton_, &startupCheckbox_})
        control->setEnabled(enabled);
}

void NameHalvornOddnyTarnwickPref::takeStockSettingsFromCardEntries(const cf::Dictionary& domain) {
    forEachMatchedCardEntry(domain, cardsArray_, [](Card& card, const cf::Dictionary& entry) {
        card.getStockSettingsFromPrefsDictionary(entry);
    });
}

void NameHalvornOddnyTarnwickPref::connectOutlets(NibConnections& nib) {
    nib.connect(cardsTable_, "cardsTable");
    nib.connect(cardsScrollView_, "cardsScrollView");
    nib.connect(vpuStepper_, "vpuStepper");
    nib.connect(memoryStepper_, "memoryStepper");
    nib.connect(vpuTextField_, "vpuTextField");
    nib.connect(vpuPercentTextField_, "vpuPercentTextField");
    nib.connect(memoryTextField_, "memoryTextField");
    nib.connect(memPercentTextField_, "memPercentTextField");
    nib.connect(versionTextField_, "versionTextField");
    nib.connect(memSizeTextField_, "memSizeTextField");
    nib.connect(memTypeTextField_, "memTypeTextField");
    nib.connect(busWidthTextField_, "busWidthTextField");
    nib.connect(defaultButton_, "defaultButton");
    nib.connect(helpButton_, "helpButton");
    nib.connect(startupCheckbox_, "startupCheckbox");
    nib.connect(restoreProgressIndicator_, "restoreProgressIndicator");

    vpuStepper_.setAction([this](const void* sender) { stepperClicked(sender); });
    memoryStepper_.setAction([this](const void* sender) { stepperClicked(sender); });
    vpuStepper_.setFieldAction([this](double typed) { clockTyped(vpuStepper_, typed); });
    memoryStepper_.setFieldAction([this](double typed) { clockTyped(memoryStepper_, typed); });
    defaultButton_.setAction([this](const void* sender) { defaultButtonClicked(sender); });
    helpButton_.setAction([this](const void* sender) { helpButtonClicked(sender); });

    // Row i is card i: slot and model.
    cardsTable_.setDataSource([this] { return static_cast<int>(cardsArray_.size()); },
                              [this](int row, int column) -> std::string {
                                  const Card& card = *cardsArray_.at(static_cast<std::size_t>(row));
                                  const std::optional<std::string>& text =
                                      column == 0 ? card.slot() : card.model();
                                  return text ? cString(*text) : std::string();
                              },
                              2);
    cardsTable_.setDelegate(
        [this](const NSNotification& notification) { tableViewSelectionDidChange(&notification); });
    cardsTable_.reloadData();
}

void NameHalvornOddnyTarnwickPref::mainViewDidLoad() {
    // 1.
    versionTextField_.setStringValue(kVersionText);
    if (restorePending_) {
        // The cards as they run now, to be changed only once their saved
        // clocks are back.
        setFrequenciesGUIItems();
        setControlsEnabled(false);
        restoreProgressIndicator_.setUsesThreadedAnimation(true);
        restoreProgressIndicator_.startAnimation(this);
        return;
    }
    showOpenedPane();
}

void NameHalvornOddnyTarnwickPref::showOpenedPane() {
    // Why the saved clocks are not on the cards, and what to do.
    if (lastReapplyUnfinished_)
        alertSheetWithMessage(localizedString("REAPPLY_UNFINISHED_MESSAGE"),
                              localizedString("REAPPLY_UNFINISHED_INFO_TEXT"),
                              kReapplyUnfinishedAnchor);
    else if (reapplyUnrecorded_)
        alertSheetWithMessage(localizedString("REAPPLY_UNRECORDED_MESSAGE"),
                              localizedString("REAPPLY_UNRECORDED_INFO_TEXT"),
                              kReapplyUnfinishedAnchor);
    // A card whose saved clocks could not be put back keeps them saved.
    if (!reapplyUnrecorded_ && unrestoredCardCount() > 0)
        alertSheetWithMessage(localizedString("RESTORE_FAILED_MESSAGE"),
                              localizedString("RESTORE_FAILED_INFO_TEXT"), kChangeFailedAnchor);
    // A card whose driver did not answer is left out of the list.
    if (!unreadCards_.empty())
        alertSheetWithMessage(localizedString("CARD_UNREAD_MESSAGE"),
                              localizedString("CARD_UNREAD_INFO_TEXT"));
    // 2.
    if (!cardsArray_.empty()) {
        setFrequenciesGUIItems();
        return;
    }
    // 3.
    cardsScrollView_.setFocusRingType(NSFocusRingTypeNone);
    vpuStepper_.setEnabled(false);
    memoryStepper_.setEnabled(false);
    vpuTextField_.setEnabled(false);
    vpuPercentTextField_.setEnabled(false);
    memoryTextField_.setEnabled(false);
    memPercentTextField_.setEnabled(false);
    startupCheckbox_.setEnabled(false);
    // A machine that could not be read may well have cards.
    if (machineUnreadable_)
        alertSheetWithMessage(localizedString("MACHINE_UNREADABLE_MESSAGE"),
                              localizedString("MACHINE_UNREADABLE_INFO_TEXT"));
    else if (unreadCards_.empty())
        alertSheetWithMessage(localizedString("NO_CARD_MESSAGE"),
                              localizedString("NO_CARD_INFO_TEXT"));
}

Card* NameHalvornOddnyTarnwickPref::shownCard() const {
    const int row = cardsTable_.selectedRow();
    if (row < 0 || static_cast<std::size_t>(row) >= cardsArray_.size()) return nullptr;
    return cardsArray_[static_cast<std::size_t>(row)].get();
}

void NameHalvornOddnyTarnwickPref::setFrequenciesGUIItems() {
    const Card* card = shownCard();
    if (card == nullptr) return;
    const CardReadout readout = CardReadout::of(*card);
    // 1.
    vpuStepper_.setIncrement(card->clockStep());
    memoryStepper_.setIncrement(card->clockStep());
    setStepperLimits(vpuStepper_, *card, card->realStockVPUFreq(), card->vpuFrequency());
    setStepperLimits(memoryStepper_, *card, card->realStockMemFreq(), card->memFrequency());
    // 2. to 5.: the steppers, then what is in force.
    vpuStepper_.setDoubleValue(readout.vpuFrequency);
    memoryStepper_.setDoubleValue(readout.memFrequency);
    if (card->clocksKnown())
        showClocksInForce(readout);
    else
        showClocksUnknown();
    // 6.
    memSizeTextField_.setIntValue(card->memSize());
    memTypeTextField_.setStringValue(card->memType() ? "DDR" : "SDR");
    busWidthTextField_.setIntValue(card->busWidth());
}

void NameHalvornOddnyTarnwickPref::tableViewSelectionDidChange(const NSNotification*) {
    setFrequenciesGUIItems();
}

void NameHalvornOddnyTarnwickPref::stepperClicked(const void*) {
    Card* card = shownCard();
    if (card == nullptr) return;
    // 1.
    const bool changed =
        card->savePLLWithVPUFrequency(static_cast<float>(vpuStepper_.doubleValue()),
                                      static_cast<float>(memoryStepper_.doubleValue()));
    if (changed) {
        // 2. The steppers keep the values asked for.
        showClocksInForce(CardReadout::of(*card));
    } else {
        // 3.
        showFailedChange(*card);
    }
}

void NameHalvornOddnyTarnwickPref::showFailedChange(const Card& card) {
    // The card read its clocks back: the fields show what it runs, and the
    // steppers start from there. Without them the clocks are unknown, and
    // the steppers go back to the clocks last shown.
    if (card.clocksKnown()) {
        const CardReadout readout = CardReadout::of(card);
        vpuStepper_.setDoubleValue(readout.vpuFrequency);
        memoryStepper_.setDoubleValue(readout.memFrequency);
        showClocksInForce(readout);
        alertSheetWithMessage(localizedString("CONFIG_FAILED"), std::nullopt, kChangeFailedAnchor);
    } else {
        vpuStepper_.setDoubleValue(lastVPUFrequency_);
        memoryStepper_.setDoubleValue(lastMemFrequency_);
        showClocksUnknown();
        alertSheetWithMessage(localizedString("CONFIG_FAILED"),
                              localizedString("CLOCKS_UNKNOWN_INFO_TEXT"), kChangeFailedAnchor);
    }
}

void NameHalvornOddnyTarnwickPref::showClocksUnknown() {
    const std::string unknown = localizedString("CLOCK_UNKNOWN");
    vpuTextField_.setStringValue(unknown);
    vpuPercentTextField_.setFloatValue(std::numeric_limits<float>::quiet_NaN());
    memoryTextField_.setStringValue(unknown);
    memPercentTextField_.setFloatValue(std::numeric_limits<float>::quiet_NaN());
    // Not known to be at stock.
    defaultButton_.setEnabled(true);
}

void NameHalvornOddnyTarnwickPref::defaultButtonClicked(const void*) {
    Card* card = shownCard();
    if (card == nullptr) return;
    // 1.
    card->saveDefaultPLL();
    // A return to stock that did not go through is a failed change: nothing
    // may say the card is at stock.
    if (!card->lastChangeSucceeded()) {
        showFailedChange(*card);
        return;
    }
    const CardReadout readout = CardReadout::of(*card);
    // 2. The percentages are exactly 0, set rather than computed.
    vpuStepper_.setDoubleValue(readout.vpuFrequency);
    vpuTextField_.setFloatValue(static_cast<float>(vpuStepper_.doubleValue()));
    vpuPercentTextField_.setFloatValue(0.0f);
    // 3.
    memoryStepper_.setDoubleValue(readout.memFrequency);
    memoryTextField_.setFloatValue(static_cast<float>(memoryStepper_.doubleValue()));
    memPercentTextField_.setFloatValue(0.0f);
    // 4.
    defaultButton_.setEnabled(readout.offStock);
    // The clocks reached are the ones in force, as after a change: a failed
    // change after this goes back to them, not to the clocks before the reset.
    lastVPUFrequency_ = readout.vpuFrequency;
    lastMemFrequency_ = readout.memFrequency;
}

void NameHalvornOddnyTarnwickPref::showClocksInForce(const CardReadout& readout) {
    vpuTextField_.setFloatValue(readout.vpuFrequency);
    vpuPercentTextField_.setFloatValue(readout.vpuPercent);
    memoryTextField_.setFloatValue(readout.memFrequency);
    memPercentTextField_.setFloatValue(readout.memPercent);
    defaultButton_.setEnabled(readout.offStock);
    lastVPUFrequency_ = readout.vpuFrequency;
    lastMemFrequency_ = readout.memFrequency;
}

bool NameHalvornOddnyTarnwickPref::defaultButtonState() {
    const Card* card = shownCard();
    return card != nullptr && CardReadout::of(*card).offStock;
}

void NameHalvornOddnyTarnwickPref::alertSheetWithMessage(
    const std::string& message, const std::optional<std::string>& informativeText,
    const std::optional<std::string>& helpAnchor) {
    // 1.
    NSAlert alert;
    alert.addButtonWithTitle("OK");
    alert.setMessageText(message);
    // 2.
    if (informativeText) alert.setInformativeText(*informativeText);
    if (helpAnchor) {
        alert.setShowsHelp(true);
        alert.setHelpAnchor(*helpAnchor);
    }
    // 3. Without the icon the alert keeps the standard one.
    if (std::shared_ptr<NSImage> icon = alertIcon()) alert.setIcon(std::move(icon));
    // 4. The sheet does not block; the alert object goes right away.
    alert.beginSheetModalForWindow(NSApp.mainWindow(), this);
}

std::shared_ptr<NSImage> NameHalvornOddnyTarnwickPref::alertIcon() const {
    const std::optional<std::string> iconPath =
        selfBundle_->pathForResource("TarnwickIcon", "tiff");
    if (!iconPath) return nullptr;
    auto icon = std::make_shared<NSImage>();
    return icon->initByReferencingFile(*iconPath) ? icon : nullptr;
}

void NameHalvornOddnyTarnwickPref::clockTyped(NSStepper& stepper, double typedClock) {
    const Card* card = shownCard();
    if (card == nullptr) return;
    const bool vpu = &stepper == &vpuStepper_;
    const TypedClock clock{static_cast<float>(typedClock),
                           vpu ? lastVPUFrequency_ : lastMemFrequency_,
                           vpu ? card->realStockVPUFreq() : card->realStockMemFreq()};
    if (!clock.asksFirst()) {
        stepper.takeDoubleValue(typedClock);
        return;
    }
    // Far from the clock in force: one write would take the card all the way.
    const std::vector<std::string> figures{clockText(clock.inForce), clockText(clock.typed),
                                           percentText(clock.percentOverStock())};
    NSAlert alert;
    alert.addButtonWithTitle("Cancel");  // the default button, and Escape
    alert.addButtonWithTitle("OK");
    alert.setMessageText(formatLocalized(
        localizedString(vpu ? "TYPED_CLOCK_VPU_MESSAGE" : "TYPED_CLOCK_MEMORY_MESSAGE"), figures));
    alert.setInformativeText(formatLocalized(localizedString("TYPED_CLOCK_INFO_TEXT"), figures));
    if (std::shared_ptr<NSImage> icon = alertIcon()) alert.setIcon(std::move(icon));
    const int row = cardsTable_.selectedRow();
    alert.beginSheetModalForWindow(
        NSApp.mainWindow(), [this, &stepper, typedClock, row](NSModalResponse response) {
            // OK: the change a click makes, to the card the user typed for.
            if (response == NSAlertSecondButtonReturn && cardsTable_.selectedRow() == row)
                stepper.takeDoubleValue(typedClock);
        });
}

void NameHalvornOddnyTarnwickPref::saveChanges(const NSNotification*) {
    lastSaveSucceeded_ = false;
    // Without the registry the cards are unknown, not absent: saving would
    // drop every saved card, and the login item would follow a checkbox the
    // user could not use.
    if (machineUnreadable_) {
        NSLog("Tarnwick: the machine could not be read; settings and login item not saved\n");
        return;
    }
    // 1.
    const bool loginItemWritten = addStartupItem(startupCheckboxState_ != 0);
    // 2. Last card first; the entries of cards that could not be read stay,
    // in their places.
    cf::Array cards =
        cardEntriesToSave(cardsArray_, unreadCards_, savedDomain_ ? &*savedDomain_ : nullptr,
                          [](Card& card) { return card.saveCardInfo(); });
    // 3.
    cf::Dictionary domain;
    domain.set(kSetAtStartupKey, startupCheckboxState_ != 0);
    domain.set(kCardsKey, std::move(cards));
    // 4. Under the lock that a login's rewrite of the settings takes, so that
    // the two never interleave; without it the user's choice is still
    // written.
    bool domainWritten = false;
    if (const std::optional<std::string> identifier = selfBundle_->bundleIdentifier()) {
        const host::PersistentDomainLock lock(*identifier);
        if (!lock.locked()) NSLog("Tarnwick: %s\n", lock.error().c_str());
        NSUserDefaults::standardUserDefaults().setPersistentDomain(domain, *identifier);
        domainWritten = true;
    } else {
        NSLog("Tarnwick: the pane's bundle has no identifier; settings not saved\n");
    }
    const bool synchronized = NSUserDefaults::standardUserDefaults().synchronize();
    if (!synchronized) NSLog("Tarnwick: the settings and login item could not be written\n");
    lastSaveSucceeded_ = loginItemWritten && domainWritten && synchronized;
    // The user has seen why the clocks were not applied, and the clocks just
    // saved are the ones the cards run at now.
    if (lastReapplyUnfinished_ && lastSaveSucceeded_) {
        clearUnfinishedReapplies();
        lastReapplyUnfinished_ = false;
    }
}

std::optional<std::int64_t> NameHalvornOddnyTarnwickPref::valueForKey(
    const std::string& key) const {
    if (key == kStartupCheckboxStateKey) return startupCheckboxState_;
    if (key == kMachineUnreadableKey) return machineUnreadable_ ? 1 : 0;
    if (key == kUnreadCardCountKey) return static_cast<std::int64_t>(unreadCards_.size());
    if (key == kLastSaveSucceededKey) return lastSaveSucceeded_ ? 1 : 0;
    if (key == kUnrestoredCardCountKey) return static_cast<std::int64_t>(unrestoredCardCount());
    return NSPreferencePane::valueForKey(key);
}

bool NameHalvornOddnyTarnwickPref::setValueForKey(std::int64_t value, const std::string& key) {
    if (key != kStartupCheckboxStateKey) return NSPreferencePane::setValueForKey(value, key);
    startupCheckboxState_ = value != 0 ? 1 : 0;
    return true;
}

std::string NameHalvornOddnyTarnwickPref::localizedString(const std::string& key) const {
    return selfBundle_->localizedStringForKey(key, "Key not found");
}
