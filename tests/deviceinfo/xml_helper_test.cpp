#include "deviceinfo/xml_helper.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "test_env.h"

namespace {

class XmlHelperTest : public ::testing::Test {
  protected:
    ddtest::TempDir dir{"ddxml"};
    std::string file(const std::string& name, const std::string& content) {
        ddtest::writeFile(dir / name, content);
        return dir / name;
    }
};

TEST_F(XmlHelperTest, FilesThatDoNotParseLeaveNoDocument) {
    CXmlHelper xml;
    EXPECT_EQ(xml.LoadFromFile(""), CXmlHelper::kInvalidParameter);
    EXPECT_EQ(xml.LoadFromFile(dir / "absent.xml"), CXmlHelper::kOpenFailed);
    EXPECT_EQ(xml.LoadFromFile(file("empty.xml", "")), CXmlHelper::kOpenFailed);
    EXPECT_EQ(xml.LoadFromFile(file("cut.xml", "<orqsupportdevice><device vid='18d1'")),
              CXmlHelper::kOpenFailed);
    EXPECT_EQ(xml.LoadFromFile(file("bin.xml", std::string("\x89PNG\r\n\x1a\n\0\0", 10))),
              CXmlHelper::kOpenFailed);
    EXPECT_FALSE(xml.loaded());
    // Queries on a helper without a document answer "nothing", never crash.
    pugi::xml_node node;
    EXPECT_EQ(xml.GetNode("/orqsupportdevice", node), CXmlHelper::kNoMatch);
    EXPECT_FALSE(node);
}

TEST_F(XmlHelperTest, QueriesReturnTheDocumentedCodes) {
    CXmlHelper xml;
    ASSERT_EQ(xml.LoadFromFile(file("d.xml", "<root><a k='v'>text</a><b><c/></b></root>")), 0);
    pugi::xml_node node;
    EXPECT_EQ(xml.GetNode("", node), CXmlHelper::kInvalidParameter);
    EXPECT_EQ(xml.GetNode("/root/none", node), CXmlHelper::kNoMatch);
    EXPECT_FALSE(node);
    EXPECT_EQ(xml.GetNode("/root/[[", node), CXmlHelper::kParserError);
    std::string value = "unchanged";
    EXPECT_EQ(xml.GetNodeAttribeValue("/root/a", "missing", value), CXmlHelper::kNoMatch);
    EXPECT_EQ(value, "unchanged");
    EXPECT_EQ(xml.GetNodeAttribeValue("/root/a", "k", value), 0);
    EXPECT_EQ(value, "v");
    pugi::xpath_node_set all;
    EXPECT_EQ(xml.GetNodeList("//*", all), 0);
    EXPECT_EQ(all.size(), 4u);
}

TEST_F(XmlHelperTest, EditsKeepChildrenAndRefuseEmptyValues) {
    CXmlHelper xml;
    ASSERT_EQ(xml.LoadFromFile(file("d.xml", "<root><a k='old'>text</a><b><c/></b></root>")), 0);
    pugi::xml_node a, b, root, created;
    xml.GetNode("/root/a", a);
    xml.GetNode("/root/b", b);
    xml.GetNode("/root", root);
    EXPECT_EQ(xml.SetNodeAttrib(a, "k", ""), CXmlHelper::kInvalidParameter);
    EXPECT_STREQ(a.attribute("k").value(), "old");
    EXPECT_FALSE(xml.SetNodeText(b, "wipe")) << "text must never replace child elements";
    EXPECT_TRUE(b.child("c"));
    EXPECT_TRUE(xml.SetNodeText(a, "new"));
    EXPECT_STREQ(a.text().get(), "new");
    EXPECT_EQ(xml.CreateAppendNode(root, "", created), 0);
    EXPECT_FALSE(created);
    EXPECT_EQ(xml.CreateAppendNode(root, "device", created), 0);
    EXPECT_EQ(xml.SetNodeAttrib(created, "imei", "123"), 0);
    EXPECT_EQ(xml.RemoveAssignNode(root, pugi::xml_node()), 1);
    EXPECT_EQ(xml.RemoveAssignNode(root, a), 0);
    ASSERT_TRUE(xml.SaveXml(dir / "d.xml"));
    CXmlHelper again;
    ASSERT_EQ(again.LoadFromFile(dir / "d.xml"), 0);
    pugi::xml_node node;
    EXPECT_EQ(again.GetNode("/root/device[@imei='123']", node), 0);
    EXPECT_EQ(again.GetNode("/root/a", node), CXmlHelper::kNoMatch);
}

TEST_F(XmlHelperTest, QuotedLiteralsKeepOutsideTextInItsPlace) {
    CXmlHelper xml;
    ASSERT_EQ(xml.LoadFromFile(file("d.xml",
                                    "<d><device imei=\"1' or '1'='1\"/><device imei='2'/>"
                                    "<device imei=\"a'b&quot;c\"/></d>")),
              0);
    pugi::xpath_node_set found;
    xml.GetNodeList("/d/device[@imei=" + CXmlHelper::xpathLiteral("x' or '1'='1") + "]", found);
    EXPECT_EQ(found.size(), 0u);
    xml.GetNodeList("/d/device[@imei=" + CXmlHelper::xpathLiteral("1' or '1'='1") + "]", found);
    EXPECT_EQ(found.size(), 1u);
    xml.GetNodeList("/d/device[@imei=" + CXmlHelper::xpathLiteral("a'b\"c") + "]", found);
    EXPECT_EQ(found.size(), 1u);
}

TEST_F(XmlHelperTest, FailedSaveIsRetriedAndLeavesNothingBehind) {
    CXmlHelper xml;
    ASSERT_EQ(xml.LoadFromFile(file("d.xml", "<root><old/></root>")), 0);
    xml.setSaveRetryPause(std::chrono::milliseconds(1));
    // A folder where the file should be: the final rename fails on every try,
    // even for root.
    ddtest::makeDirs(dir / "taken");
    ddtest::writeFile(dir / "taken/inside", "keep");
    EXPECT_FALSE(xml.SaveXml(dir / "taken"));
    EXPECT_EQ(ddtest::readFile(dir / "taken/inside"), "keep");
    EXPECT_EQ(ddtest::readFile(dir / "d.xml"), "<root><old/></root>");
    int leftovers = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        leftovers += entry.path().filename().string().find(".tmp") != std::string::npos;
    }
    EXPECT_EQ(leftovers, 0) << "temporary files must be cleaned up";
}

}  // namespace
