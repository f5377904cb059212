#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <wx/init.h>

#include "DngWriter.h"
#include "LoadThread.h"
#include "support/TempDir.h"

TEST(LoadThread, QueuesOneLoadedEventPerLoadAndHandsOverTheImage)
{
    wxInitializer initializer;
    veltest::TempDir dir;
    veldng::DngFrame frame;
    frame.width = 60;
    frame.height = 40;
    frame.mosaic.assign(60 * 40, 20000);
    ASSERT_TRUE(veldng::writeDng(frame, dir.file("frame.dng")));

    wxEvtHandler target;
    std::vector<long> outcomes, serials;  // ok flag and serial of each event, then each thread
    target.Bind(EVT_PREVIEW_LOADED, [&](wxThreadEvent& event) {
        outcomes.push_back(event.GetInt());
        serials.push_back(event.GetExtraLong());
    });
    std::vector<PreviewLoadResult> results;
    for (const char* name : {"frame.dng", "missing.dng"}) {
        auto thread = std::make_unique<LoadThread>(&target, wxString::FromUTF8(dir.file(name)), 30, wxString());
        ASSERT_EQ(thread->Run(), wxTHREAD_NO_ERROR);
        thread->Wait();
        results.push_back(thread->takeResult());
        target.ProcessPendingEvents();
        serials.push_back(thread->serial());
    }
    ASSERT_TRUE(results[0].ok);
    EXPECT_EQ(results[0].fullSize, wxSize(60, 40));
    EXPECT_EQ(results[0].image.GetSize(), wxSize(30, 20));
    EXPECT_FALSE(results[1].ok);
    EXPECT_EQ(outcomes, (std::vector<long>{1, 0}));
    ASSERT_EQ(serials.size(), 4u);
    EXPECT_EQ(serials[0], serials[1]);
    EXPECT_EQ(serials[2], serials[3]);
    EXPECT_NE(serials[0], serials[2]);
}
