// The image path that the package's custom action gives the service.
#include <gtest/gtest.h>

#include <string>

#include "image_path.h"

namespace {

struct ImagePathCase {
    const wchar_t* data;
    bool built;
    const wchar_t* serviceName;
    const wchar_t* imagePath;
};

TEST(ImagePath, QuotesThePathAndKeepsTheArguments)
{
    const ImagePathCase cases[] = {
        {L"Tobra Service|C:\\Program Files\\norva\\Tobra Service\\TobraService.exe|", true, L"Tobra Service",
         L"\"C:\\Program Files\\norva\\Tobra Service\\TobraService.exe\""},
        {L"Tobra Service|C:\\Program Files\\x.exe|-dlog", true, L"Tobra Service",
         L"\"C:\\Program Files\\x.exe\" -dlog"},
        // An unset property leaves blanks around the arguments.
        {L"S|C:\\x.exe|  -dlogout \t", true, L"S", L"\"C:\\x.exe\" -dlogout"},
        {L"S|C:\\x.exe| \t ", true, L"S", L"\"C:\\x.exe\""},
        // Only the first two bars separate: the arguments are the rest.
        {L"S|C:\\x.exe|-a|b -c", true, L"S", L"\"C:\\x.exe\" -a|b -c"},
        {L"|C:\\x.exe|-dlog", false, L"", L""},
        {L"S||-dlog", false, L"", L""},
        {L"S|C:\\x.exe", false, L"", L""},
        {L"S", false, L"", L""},
        {L"", false, L"", L""},
        // A quote would close the quoted path early and turn its rest into arguments.
        {L"S|C:\\Program Files\\a\".exe|", false, L"", L""},
        {L"S|\"C:\\x.exe\"|", false, L"", L""},
    };
    for (const ImagePathCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "data " << std::string(c.data, c.data + wcslen(c.data)));
        wchar_t name[64] = L"junk";
        wchar_t path[128] = L"junk";
        EXPECT_EQ(BuildServiceImagePath(c.data, name, 64, path, 128) != 0, c.built);
        EXPECT_STREQ(name, c.serviceName);
        EXPECT_STREQ(path, c.imagePath);
    }
}

TEST(ImagePath, RefusesWhatDoesNotFitWholly)
{
    const wchar_t data[] = L"Svc|C:\\x.exe|-dlog";
    const std::wstring expected = L"\"C:\\x.exe\" -dlog";
    wchar_t name[8];
    wchar_t path[32];

    // Exactly enough room, terminators included.
    EXPECT_TRUE(BuildServiceImagePath(data, name, 4, path, expected.size() + 1));
    EXPECT_EQ(std::wstring(path), expected);
    EXPECT_STREQ(name, L"Svc");

    EXPECT_FALSE(BuildServiceImagePath(data, name, 4, path, expected.size()));
    EXPECT_STREQ(path, L"");
    EXPECT_FALSE(BuildServiceImagePath(data, name, 3, path, 32));
    EXPECT_STREQ(name, L"");
    EXPECT_STREQ(path, L"");

    EXPECT_FALSE(BuildServiceImagePath(nullptr, name, 8, path, 32));
    EXPECT_FALSE(BuildServiceImagePath(data, name, 0, path, 32));
}

}  // namespace
