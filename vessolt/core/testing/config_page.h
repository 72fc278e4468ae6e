#pragma once
// A settings page as the test configuration dialog sees it. The base behaviour suits a page that
// keeps nothing outside its controls.
namespace ostrel::vessolt {

class IConfigPage {
public:
    virtual ~IConfigPage() = default;
    // Checks the controls and stores them as the page's settings; false (after telling the user)
    // keeps the dialog open on this page.
    virtual bool ApplySettings() { return true; }
    // Forgets edits that were not applied.
    virtual void CancelSettings() {}
    // Fills the controls from the stored settings; called at every opening of the dialog.
    virtual void LoadSettings() {}
    // Puts the recommended defaults into the controls.
    virtual void SetDefaults() {}
};

} // namespace ostrel::vessolt
