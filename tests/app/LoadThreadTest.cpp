#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <wx/image.h>
#include <wx/init.h>

#include "DngWriter.h"
#include "LoadThread.h"
#include "support/TempDir.h"

namespace {

// Counts the loaded events that reach it and what they said.
class LoadedEvents : public wxEvtHandler {
public:
    LoadedEvents()
    {
        Bind(EVT_PREVIEW_LOADED, [this](wxThreadEvent& event) {
            outcomes.push_back(event.GetInt());
            serials.push_back(event.GetExtraLong());
        });
    }
    std::vector<int> outcomes;
    std::vector<long> serials, threadSerials;
};

PreviewLoadResult loadOnThread(LoadedEvents& target, const std::string& path)
{
    auto thread = std::make_unique<LoadThread>(&target, wxString::FromUTF8(path), 30, wxString());
    target.threadSerials.push_back(thread->serial());
    if (thread->Run() != wxTHREAD_NO_ERROR)
        return {};
    thread->Wait();
    PreviewLoadResult result = thread->takeResult();
    target.ProcessPendingEvents();
    return result;
}

}  // namespace

TEST(LoadThread, QueuesOneLoadedEventPerLoadAndHandsOverTheImage)
{
    wxInitializer initializer;
    ASSERT_TRUE(initializer.IsOk());
    veltest::TempDir dir;
    veldng::DngFrame frame;
    frame.width = 60;
    frame.height = 40;
    frame.mosaic.assign(60 * 40, 20000);
    ASSERT_TRUE(veldng::writeDng(frame, dir.file("frame.dng")));

    LoadedEvents target;
    const PreviewLoadResult loaded = loadOnThread(target, dir.file("frame.dng"));
    ASSERT_TRUE(loaded.ok);
    EXPECT_EQ(loaded.fullSize, wxSize(60, 40));
    EXPECT_EQ(loaded.image.GetSize(), wxSize(30, 20));
    EXPECT_FALSE(loadOnThread(target, dir.file("missing.dng")).ok);
    EXPECT_EQ(target.outcomes, (std::vector<int>{1, 0}));
    EXPECT_EQ(target.serials, target.threadSerials);
    EXPECT_NE(target.serials[0], target.serials[1]);
}
