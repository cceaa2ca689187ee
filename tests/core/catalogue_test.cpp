#include <gtest/gtest.h>

#include "deviceinfo/supported_devices.h"
#include "test_env.h"

namespace {

class CatalogueTest : public ::testing::Test {
  protected:
    ddtest::TempDir dir{"ddcat"};
    std::string write(const std::string& content) {
        ddtest::writeFile(dir / "device.xml", content);
        return dir / "device.xml";
    }
};

TEST_F(CatalogueTest, IdsAreParsedLeniently) {
    CSupportedDevices catalogue;
    catalogue.loadSupportedIds(write(
        "<orqsupportdevice><device vid='18d1' pid='4ee7'/><device vid=' 0x22B8' pid='2e76zz'/>"
        "<device vid='' pid='12345'/><device vid='18d1' pid='4ee7' "
        "type='bmp'/></orqsupportdevice>"));
    EXPECT_EQ(catalogue.ids().size(), 4u) << "duplicates stay in the list";
    EXPECT_EQ(catalogue.doesDeviceSupport(0x18d1, 0x4ee7), 1);
    EXPECT_EQ(catalogue.doesDeviceSupport(0x22b8, 0x2e76), 1);
    EXPECT_EQ(catalogue.doesDeviceSupport(0x0000, 0x2345), 1) << "only the low 16 bits are kept";
    EXPECT_EQ(catalogue.doesDeviceSupport(0x18d1, 0x4ee8), 0);
}

TEST_F(CatalogueTest, LookupMatchesOnlyFourLowerCaseDigitsAndFirstWins) {
    std::string path = write(
        "<orqsupportdevice><device vid='18D1' pid='4EE7'/><device vid='05c6' pid='3197' "
        "type='BMP'/>"
        "<device vid='05c6' pid='3197' type='android'/><device vid='1d45' "
        "pid='0c01'/></orqsupportdevice>");
    CSupportedDevices catalogue;
    catalogue.loadSupportedIds(path);
    EXPECT_EQ(catalogue.doesDeviceSupport(0x18d1, 0x4ee7), 1);
    CXmlHelper doc;
    CXmlNode node;
    EXPECT_FALSE(CSupportedDevices::findDeviceNode(path, 0x18d1, 0x4ee7, doc, node))
        << "upper-case ids pass the list but are not found";
    ASSERT_TRUE(CSupportedDevices::findDeviceNode(path, 0x05c6, 0x3197, doc, node));
    EXPECT_EQ(CSupportedDevices::getAttribute(node, "type"), "BMP");
    ASSERT_TRUE(CSupportedDevices::findDeviceNode(path, 0x1d45, 0x0c01, doc, node));
    EXPECT_EQ(CSupportedDevices::getAttribute(node, "type"), "");
}

TEST_F(CatalogueTest, BrokenCataloguesGiveAnEmptyList) {
    for (const std::string& content :
         {std::string(""), std::string("<orqsupportdevice/>"),
          std::string("<orqsupportdevice><device"), std::string("\xff\xfe\0\0garbage", 11),
          std::string("<other><device vid='18d1' pid='4ee7'/></other>")}) {
        CSupportedDevices catalogue;
        catalogue.loadSupportedIds(write(content));
        EXPECT_TRUE(catalogue.ids().empty());
        EXPECT_EQ(catalogue.doesDeviceSupport(0x18d1, 0x4ee7), 0);
    }
    CXmlHelper doc;
    CXmlNode node;
    bool loadFailed = false;
    EXPECT_FALSE(
        CSupportedDevices::findDeviceNode(dir / "absent.xml", 1, 2, doc, node, &loadFailed));
    EXPECT_TRUE(loadFailed);
}

}  // namespace
