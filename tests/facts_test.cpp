// Role accounts and disposable-address domains.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "verify/facts.h"

namespace verimex::engine {
namespace {

TEST(Facts, RoleAccounts)
{
    for (const char* role : {"postmaster", "abuse", "hostmaster", "webmaster", "info", "sales", "support",
                             "marketing", "noreply", "no-reply", "admin", "Postmaster", "INFO+news", "\"abuse\""})
        EXPECT_TRUE(role_account(role)) << role;
    for (const char* person : {"alice", "info2", "postmaster.smith", "\"john doe\"", "", "salesman", "sup"})
        EXPECT_FALSE(role_account(person)) << person;
}

TEST(Facts, ShippedDisposableList)
{
    std::string error;
    EXPECT_TRUE(disposable_domain("mailinator.com", "", error));
    EXPECT_TRUE(disposable_domain("Mailinator.COM", "", error));
    EXPECT_TRUE(disposable_domain("eu.mailinator.com", "", error));  // subdomains too
    EXPECT_FALSE(disposable_domain("example.com", "", error));
    EXPECT_FALSE(disposable_domain("notmailinator.com", "", error));
    EXPECT_FALSE(disposable_domain("com", "", error));
    EXPECT_EQ(error, "");
}

TEST(Facts, UserListIsReadAndReadAgainWhenItChanges)
{
    char dir_template[] = "/tmp/verimex-facts-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir_template));
    const std::string dir = dir_template;
    const std::string path = dir + "/list.txt";
    {
        std::ofstream out(path);
        out << "# my list\n  throwaway.test  \nBurner.TEST. # trailing comment\r\n\n";
    }
    std::string error;
    EXPECT_TRUE(disposable_domain("throwaway.test", path, error));
    EXPECT_TRUE(disposable_domain("x.burner.test", path, error));
    // The user's list stands instead of the shipped one.
    EXPECT_FALSE(disposable_domain("mailinator.com", path, error));
    EXPECT_FALSE(disposable_domain("my", path, error));
    EXPECT_EQ(error, "");

    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::ofstream out(path);
        out << "other.test\n";
    }
    EXPECT_FALSE(disposable_domain("throwaway.test", path, error));
    EXPECT_TRUE(disposable_domain("other.test", path, error));

    ::unlink(path.c_str());
    EXPECT_FALSE(disposable_domain("other.test", path, error));
    EXPECT_NE(error.find("cannot read the disposable-domain list " + path), std::string::npos) << error;
    EXPECT_NE(error.find("(error 2)"), std::string::npos) << error;
    ::rmdir(dir.c_str());
}

}  // namespace
}  // namespace verimex::engine
