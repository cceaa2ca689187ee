// The shipped udev rules against the shipped catalogue: every adb phone is
// reached by what it is (its adb interface), every serial phone of the
// catalogue by its ids, and nothing is granted to a whole vendor. What is
// granted goes to the user at the seat and to the group plugdev (users over
// ssh, headless machines).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "deviceinfo/xml_helper.h"
#include "test_env.h"

namespace {

std::vector<std::string> ruleLines() {
    std::istringstream in(
        ddtest::readFile(std::string(DD_TEST_DATA_DIR) + "/../udev/70-orq-sync.rules"));
    std::vector<std::string> rules;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '#') {
            rules.push_back(line);
        }
    }
    return rules;
}

bool has(const std::string& line, const std::string& part) {
    return line.find(part) != std::string::npos;
}

TEST(UdevRules, AdbPhonesAreGrantedByTheirInterfaceWhateverTheVendor) {
    int adbRules = 0;
    for (const std::string& rule : ruleLines()) {
        if (has(rule, "ID_USB_INTERFACES")) {
            ++adbRules;
            EXPECT_TRUE(has(rule, "==\"*:ff4201:*\"")) << rule;
            EXPECT_TRUE(has(rule, "TAG+=\"uaccess\"")) << rule;
            EXPECT_FALSE(has(rule, "idVendor")) << rule;
        }
        if (has(rule, "idVendor")) {
            EXPECT_TRUE(has(rule, "idProduct")) << "a rule for a whole vendor: " << rule;
        }
    }
    EXPECT_EQ(adbRules, 1);
}

TEST(UdevRules, EverySerialPhoneOfTheCatalogueIsGrantedAndHiddenFromTheModemManager) {
    CXmlHelper catalogue;
    ASSERT_EQ(catalogue.LoadFromFile(std::string(DD_TEST_DATA_DIR) + "/device.xml"),
              CXmlHelper::kOk);
    std::vector<std::string> rules = ruleLines();
    int serialPhones = 0;
    for (const CXmlNode& device : catalogue.root().children("device")) {
        std::string type = device.attribute("type");
        for (char& c : type) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (type != "bmp") {
            continue;
        }
        ++serialPhones;
        std::string vid = device.attribute("vid");
        std::string pid = device.attribute("pid");
        bool tty = false, usb = false;
        for (const std::string& rule : rules) {
            if (!has(rule, "\"" + vid + "\"") || !has(rule, "\"" + pid + "\"")) {
                continue;
            }
            EXPECT_TRUE(has(rule, "ENV{ID_MM_DEVICE_IGNORE}=\"1\"")) << rule;
            if (has(rule, "SUBSYSTEM==\"tty\"")) {
                tty = true;
                EXPECT_TRUE(has(rule, "TAG+=\"uaccess\"")) << rule;
                EXPECT_TRUE(has(rule, "ATTRS{idVendor}==\"" + vid + "\"")) << rule;
            }
            usb = usb || has(rule, "SUBSYSTEM==\"usb\"");
        }
        EXPECT_TRUE(tty) << "no tty rule for " << vid << ":" << pid;
        EXPECT_TRUE(usb) << "no device rule for " << vid << ":" << pid;
    }
    EXPECT_GT(serialPhones, 0);
}

TEST(UdevRules, EveryGrantGoesToTheSeatAndToThePlugdevGroup) {
    int grants = 0;
    for (const std::string& rule : ruleLines()) {
        if (!has(rule, "MODE=")) {
            continue;
        }
        ++grants;
        EXPECT_TRUE(has(rule, "MODE=\"0660\"")) << rule;
        EXPECT_TRUE(has(rule, "TAG+=\"uaccess\"")) << rule;
        EXPECT_TRUE(has(rule, "GROUP=\"plugdev\"")) << rule;
    }
    EXPECT_EQ(grants, 2);
}

}  // namespace
