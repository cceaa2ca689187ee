// The loader settings a user changes without root: "orqBRAXLoader.ini" in the
// user's config folder overrides the module folder's file key by key.
#include <gtest/gtest.h>

#include <string>

#include "core/device_detect_app.h"
#include "log/log_stream.h"
#include "test_env.h"

namespace {

struct Case {
    const char* name;
    const char* packaged;  // the module folder's file
    const char* user;      // the user's file; nullptr: there is none
    int32_t level;
    int32_t loaderPort;
};

const Case kCases[] = {
    {"packaged only", "[Detect]\nLogLevel=Info\nLoaderHttpPort=18700\n", nullptr, LOG_INFO, 18700},
    {"user level, packaged port", "[Detect]\nLogLevel=Info\nLoaderHttpPort=18700\n",
     "[detect]\nLogLevel=Debug\n", LOG_DEBUG, 18700},
    {"user port, packaged level", "[Detect]\nLogLevel=Err\nLoaderHttpPort=18700\n",
     "[Detect]\nLoaderHttpPort=18701\n", LOG_ERR, 18701},
    {"user switches the log off", "[Detect]\nLogLevel=Info\n", "[Detect]\nLogLevel=\n", 0, 0},
    {"a user file of other sections", "[Detect]\nLogLevel=War\n", "[Other]\nLogLevel=Debug\n",
     LOG_WAR, 0},
    {"no packaged file", nullptr, "[Detect]\nLogLevel=Crit\n", LOG_CRIT, 0},
};

TEST(LoaderSettings, TheUsersFileWinsKeyByKey) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ddtest::Sandbox sandbox;
        std::string packaged = sandbox.moduleDir + "/orqBRAXLoader.ini";
        if (c.packaged != nullptr) {
            ddtest::writeFile(packaged, c.packaged);
        } else {
            ddtest::removeTree(packaged);
        }
        if (c.user != nullptr) {
            ddtest::makeDirs(sandbox.configHome + "/Orq Sync");
            ddtest::writeFile(sandbox.configHome + "/Orq Sync/orqBRAXLoader.ini", c.user);
        }
        theApp.readLoaderConfig();
        EXPECT_EQ(currentLogLevel(), c.level);
        EXPECT_EQ(theApp.loaderHttpPort(), c.loaderPort);
    }
}

}  // namespace
