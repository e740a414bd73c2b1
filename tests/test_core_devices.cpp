// Device names, opening and closing the device, against OpenAL Soft's null
// output. Variants OpenAL Soft cannot produce (no device list, a context that
// cannot be made current) are in the stand-in OpenAL tests.
#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The names of an ALC list: NUL-terminated strings ended by an empty one.
std::vector<std::string> SplitList(const ALCchar *list)
{
    std::vector<std::string> names;
    for (const ALCchar *p = list; p && *p; p += strlen(p) + 1)
        names.emplace_back(p);
    return names;
}

TEST(CoreDeviceNames, CopiesOfTheImplementationsListWithCount)
{
    ASSERT_TRUE(alcIsExtensionPresent(nullptr, "ALC_ENUMERATE_ALL_EXT"));
    const struct {
        ALCboolean all;
        ALCenum specifier;
        bool withCount;
    } cases[] = {
        {ALC_FALSE, ALC_DEVICE_SPECIFIER, true},
        {ALC_TRUE, ALC_ALL_DEVICES_SPECIFIER, true},
        {ALC_TRUE, ALC_ALL_DEVICES_SPECIFIER, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "all " << int(c.all) << " count " << c.withCount);
        ALCsizei count = -7;
        const ALCchar **names = nuvexGetDeviceNames(c.all, c.withCount ? &count : nullptr);
        ASSERT_NE(names, nullptr) << nvt::LastError();

        const ALCchar *list = alcGetString(nullptr, c.specifier);
        std::vector<std::string> expected = SplitList(list);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(count, c.withCount ? ALCsizei(expected.size()) : -7);
        // That the names are copies of their own is shown with the stand-in
        // OpenAL, which can rewrite its list.
        std::vector<std::string> got;
        for (size_t n = 0; names[n]; n++)
            got.emplace_back(names[n]);
        EXPECT_EQ(got, expected);
        nuvexFreeDeviceNames(names);
        EXPECT_STREQ(nuvexGetErrorString(), "No error");
    }
    nuvexFreeDeviceNames(nullptr);
    EXPECT_STREQ(nuvexGetErrorString(), "No error");
}

TEST(CoreDevice, InitThenShutdownTwiceLeavesNoCurrentContext)
{
    const ALCchar *defaultName = alcGetString(nullptr, ALC_DEFAULT_DEVICE_SPECIFIER);
    ASSERT_NE(defaultName, nullptr);
    const std::string name = defaultName;
    const ALCint attribs[] = {ALC_FREQUENCY, 22050, 0};
    const struct {
        const ALCchar *name;
        const ALCint *attribs;
    } cases[] = {{nullptr, nullptr}, {name.c_str(), attribs}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name ? c.name : "default device");
        ASSERT_TRUE(nuvexInitDevice(c.name, c.attribs)) << nvt::LastError();
        ALCcontext *context = alcGetCurrentContext();
        ASSERT_NE(context, nullptr);
        EXPECT_EQ(alcGetError(alcGetContextsDevice(context)), ALC_NO_ERROR);
        // The context is usable for AL calls straight away.
        ALuint buffer = 0;
        alGenBuffers(1, &buffer);
        EXPECT_EQ(alGetError(), AL_NO_ERROR);
        alDeleteBuffers(1, &buffer);

        EXPECT_TRUE(nuvexShutdownDevice()) << nvt::LastError();
        EXPECT_EQ(alcGetCurrentContext(), nullptr);
        EXPECT_EQ(alcGetError(nullptr), ALC_NO_ERROR);
        EXPECT_STREQ(nuvexGetErrorString(), "No error");
    }
    // Nothing is left to shut down.
    EXPECT_FALSE(nuvexShutdownDevice());
    EXPECT_STREQ(nuvexGetErrorString(), "Failed to get current device");
    EXPECT_EQ(alcGetError(nullptr), ALC_NO_ERROR);
}

TEST(CoreDevice, UnknownDeviceNameLeavesNothingOpenAndNoAlcError)
{
    EXPECT_FALSE(nuvexInitDevice("No Such Nuvex Device", nullptr));
    EXPECT_STREQ(nuvexGetErrorString(), "Device open failed");
    EXPECT_EQ(alcGetCurrentContext(), nullptr);
    EXPECT_EQ(alcGetError(nullptr), ALC_NO_ERROR);
}

} // namespace
