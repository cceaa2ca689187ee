// "detecteddevice.xml" in the data folder's "xml" folder: one <device imei=...>
// node per phone under the root <detecteddevice>.
#pragma once

#include <mutex>
#include <string>

class CXmlHelper;

// Path of the store under a data folder.
std::string detectedDeviceFile(const std::string& dataFolder);

// Held around every load-change-save of the store in this process, so that
// phones written or removed at the same moment never lose each other's entry.
std::mutex& detectedDeviceStoreLock();

enum class StoreLoad {
    Loaded,      // xml holds the store, with its <detecteddevice> root
    Missing,     // no store yet: the caller may start one
    SetAside,    // the store was damaged and has been renamed (logged): the caller may start one
    Unreadable,  // the store is there but could not be read (logged): leave it, write nothing
};

// Loads the store at path into xml; the caller holds detectedDeviceStoreLock()
// until it has saved. A store that reads but is damaged (empty, not XML, no
// <detecteddevice> root, too large) is kept for the user as
// "detecteddevice.xml.damaged-<time>[-<n>]" beside it, so that the entries of
// the other phones are not lost when a new store is written. A store that cannot be read (a FIFO or
// a folder in its place, no permission, an I/O error) is not damaged: it is left as it is and must
// not be overwritten.
StoreLoad loadDetectedDeviceStore(CXmlHelper& xml, const std::string& path);

// Removes the phone's node and saves the file (also when nothing matched).
// False when the file could not be loaded; no file is created then (a
// damaged one is set aside). The IMEI is quoted as an XPath literal, so no
// IMEI can select another node.
bool RemoveDetectedDevice(const std::string& dataFolder, const std::string& imei);
