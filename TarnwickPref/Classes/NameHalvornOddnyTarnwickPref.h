// The pane's principal class: finds the cards, restores their saved clocks,
// shows the selected card, changes its clocks from the steppers, puts it back
// to stock, and at quit saves the settings and the login item.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SavedSettings.h"
#include "host/AppKit.h"
#include "host/Foundation.h"
#include "host/IOKit.h"
#include "host/NotificationCenter.h"
#include "host/PreferencePanes.h"

struct CardReadout;

class NameHalvornOddnyTarnwickPref : public NSPreferencePane {
public:
    static constexpr const char* kVersionText = "1.0.6b";
    static constexpr const char* kHelpBookName = "Tarnwick II Help";

    NameHalvornOddnyTarnwickPref();
    ~NameHalvornOddnyTarnwickPref() override;

    // The vendor id of the driver instance's parent entry, 0 without one.
    std::uint32_t determineCardBrandWithDriver(io_service_t driver);
    bool initWithBundle(std::shared_ptr<NSBundle> bundle) override;
    void mainViewDidLoad() override;
    // Puts the saved clocks back once the pane is shown, with the progress
    // indicator up and the controls disabled, then shows what is in force.
    void didSelect() override;
    void setFrequenciesGUIItems();
    void tableViewSelectionDidChange(const NSNotification* notification);
    void stepperClicked(const void* sender);
    void defaultButtonClicked(const void* sender);
    // YES when the shown card is not at its stock clocks.
    bool defaultButtonState();
    // With a help anchor the alert has a Help button that opens the page
    // its text points to.
    void alertSheetWithMessage(const std::string& message,
                               const std::optional<std::string>& informativeText,
                               const std::optional<std::string>& helpAnchor = std::nullopt);
    // A clock typed into a stepper's field and confirmed: applied as one
    // click when it lies near the clock in force, else only after the user
    // confirms it in a sheet (Cancel, the default, sends nothing).
    void clockTyped(NSStepper& stepper, double typedClock);
    void saveChanges(const NSNotification* notification);

    // Login item and help. addStartupItem: false when the login items were
    // left as they are (they could not be updated without losing some).
    void registerHelpBook();
    bool addStartupItem(bool addItem);
    void helpButtonClicked(const void* sender);

    // The checkbox's binding.
    std::optional<std::int64_t> valueForKey(const std::string& key) const override;
    bool setValueForKey(std::int64_t value, const std::string& key) override;

    const CardList& cardsArray() const { return cardsArray_; }

    // What the session met, for the exit status of the programs that host
    // the pane (through valueForKey as "machineUnreadable",
    // "unreadCardCount" and "lastSaveSucceeded"): the machine could not be
    // read at all; cards present but left out because their driver did not
    // answer; the last save wrote the settings and the login item (false
    // before any save, and when a save was skipped or failed).
    bool machineUnreadable() const { return machineUnreadable_; }
    std::size_t unreadCardCount() const { return unreadCards_.size(); }
    bool lastSaveSucceeded() const { return lastSaveSucceeded_; }
    // Cards whose saved clocks could not be put back and that the user has
    // not changed since: their saved entries are kept ("unrestoredCardCount").
    std::size_t unrestoredCardCount() const {
        return static_cast<std::size_t>(
            std::count_if(cardsArray_.begin(), cardsArray_.end(),
                          [](const auto& card) { return card->savedClocksUnrestored(); }));
    }
    std::int8_t startupCheckboxState() const { return startupCheckboxState_; }
    const std::shared_ptr<NSBundle>& selfBundle() const { return selfBundle_; }

protected:
    void connectOutlets(NibConnections& nib) override;

private:
    // The card at the table's selected row, or nullptr when none is shown.
    Card* shownCard() const;
    // The text fields, percentages, default button and last frequencies for
    // the clocks the card now runs at.
    void showClocksInForce(const CardReadout& readout);
    // The fields of a card whose clocks could not be read back.
    void showClocksUnknown();
    // After a change or a return to stock that did not go through: what the
    // card runs (or that it is unknown), and the alert.
    void showFailedChange(const Card& card);
    // Steps 4 and 5 of creation, and the startup setting: the cards and the
    // saved settings.
    void findCardsAndSettings();
    void setStockSettingsOfEveryCard();
    // The frequency controls, the default button and the checkbox.
    void setControlsEnabled(bool enabled);
    // The pane as it opens once the saved clocks are in force: the shown
    // card, and the alerts that say what went wrong at open.
    void showOpenedPane();
    // With the Option key held the saved clocks stay off the cards, but each
    // matched card still takes its stock clocks from its entry: the cards may
    // run at clocks the last login raised, which are no stock clocks. The
    // entries are matched as when the clocks are restored.
    void takeStockSettingsFromCardEntries(const cf::Dictionary& domain);
    std::string localizedString(const std::string& key) const;
    // The pane's icon for its alerts, or nullptr for the standard one.
    std::shared_ptr<NSImage> alertIcon() const;

    NSTableView cardsTable_;
    NSScrollView cardsScrollView_;
    NSStepper vpuStepper_;
    NSStepper memoryStepper_;
    NSTextField vpuTextField_;
    NSTextField vpuPercentTextField_;
    NSTextField memoryTextField_;
    NSTextField memPercentTextField_;
    NSTextField versionTextField_;
    NSTextField memSizeTextField_;
    NSTextField memTypeTextField_;
    NSTextField busWidthTextField_;
    NSButton defaultButton_;
    NSButton helpButton_;
    NSButton startupCheckbox_;
    // "Restoring the saved clocks..." while didSelect puts them back.
    NSProgressIndicator restoreProgressIndicator_;
    std::int8_t startupCheckboxState_ = 0;
    float lastVPUFrequency_ = 0;
    float lastMemFrequency_ = 0;
    CardList cardsArray_;
    std::shared_ptr<NSBundle> selfBundle_;
    // The cards whose driver did not answer, whose saved entries are kept.
    std::vector<UnreadCard> unreadCards_;
    bool machineUnreadable_ = false;
    // The domain as read at creation: where those entries come from.
    std::optional<cf::Dictionary> savedDomain_;
    bool lastSaveSucceeded_ = false;
    // The last reapply of the saved clocks never finished: the pane opened as
    // with the Option key held, says so, and clears the record when it saves.
    bool lastReapplyUnfinished_ = false;
    // The record that guards the reapply could not be written: no card was
    // programmed at open.
    bool reapplyUnrecorded_ = false;
    // The saved clocks wait to be put back when the pane is shown.
    bool restorePending_ = false;
};
