// Device-specific settings: the settings file and the device type.
#ifndef SELFTEST_SETTINGS_H
#define SELFTEST_SETTINGS_H

class SimpleIni;

extern const char* const kSettingsFile;  // "rigchkEx.ini", in the working directory

struct DeviceSettings {
    int bTestDWin;
    int bTest4G;
};

// Loads the settings file into ini, derives the RS232 variant flags and the
// screen frame head for hostName, and logs them under caller. Returns the flags.
DeviceSettings LoadDeviceSettings(SimpleIni& ini, const char* hostName, const char* caller);
// Applies the DO-count rules after the inventory. Returns the DO count.
unsigned short ApplyDOCountSettings(SimpleIni& ini, const char* hostName, unsigned short nDOCnt);

#endif
