#include "os/os.h"
#include "wintestsupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace wintest;

namespace {

// Runs body on a new thread, which starts outside any apartment.
template<typename Body>
void onFreshThread(Body body)
{
    std::thread thread(body);
    thread.join();
}

APTTYPE apartmentType()
{
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    if (FAILED(CoGetApartmentType(&type, &qualifier)))
        return APTTYPE_CURRENT;
    return type;
}

} // namespace

TEST(Com, EntersAndLeavesASingleThreadedApartment)
{
    onFreshThread([] {
        ASSERT_EQ(os::initialiseCom(), os::ComInit::Initialised);
        EXPECT_EQ(apartmentType(), APTTYPE_MAINSTA);
        // A second entry on the same thread is compatible and counts too.
        ASSERT_EQ(os::initialiseCom(), os::ComInit::Initialised);
        os::uninitialiseCom();
        EXPECT_EQ(apartmentType(), APTTYPE_MAINSTA);
        os::uninitialiseCom();

        // Left completely: any model can be chosen now.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    });
}

TEST(Com, ApartmentObjectLeavesWhatItEntered)
{
    onFreshThread([] {
        {
            const os::ComApartment apartment;
            EXPECT_EQ(apartment.state(), os::ComInit::Initialised);
            EXPECT_TRUE(apartment.usable());
        }
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    });
}

TEST(Com, MultithreadedThreadReportsChangedModeAndStaysUsable)
{
    ScratchFolder folder;
    ASSERT_TRUE(folder.valid());
    onFreshThread([&folder] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);

        EXPECT_EQ(os::initialiseCom(), os::ComInit::ChangedMode);
        {
            const os::ComApartment apartment;
            EXPECT_EQ(apartment.state(), os::ComInit::ChangedMode);
            EXPECT_TRUE(apartment.usable());
        }

        // The apartment object must not have left the thread's apartment.
        EXPECT_EQ(apartmentType(), APTTYPE_MTA);
        const std::wstring target = folder.file(L"Corvatone.exe");
        const std::wstring link = folder.file(L"Corvatone.lnk");
        ASSERT_EQ(saveShellLink(link, target), S_OK);
        EXPECT_EQ(os::shellLinkTarget(u16(link)), u16(target));

        CoUninitialize();
    });
}
