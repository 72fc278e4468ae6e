#pragma once
// A window or service that keeps settings in the registry and stores them as it goes away. The main
// window's close asks every one to store them earlier, all in one batch, so that the user hears
// whether they could be stored while the window is still there.

namespace ostrel::vessolt {

class SettingsOwner {
public:
    // Writes the settings into their registry keys; a flush batch running on this thread takes
    // them (RegistryKey::store), and its commit says whether they were stored.
    virtual void StoreSettings() = 0;

protected:
    SettingsOwner() = default;
    SettingsOwner(const SettingsOwner&) = default;
    SettingsOwner& operator=(const SettingsOwner&) = default;
    ~SettingsOwner() = default;
};

} // namespace ostrel::vessolt
