// The form behind a native window, on a real display: the front end attaches
// every window it makes for a form; a window of another process gives none.
#include <string>
#include <vector>

#include "host/SurviverInstance.h"
#include "platform/ui/Form.h"
#include "tests/gui/GuiFixture.h"

namespace pv {
namespace {

using test::GuiTest;

class SurviverWindow : public GuiTest {
  protected:
    // The windows xdotool finds for these search arguments.
    std::vector<std::uint64_t> Windows(std::vector<std::string> search) {
        std::vector<std::string> argv = {"xdotool", "search"};
        argv.insert(argv.end(), search.begin(), search.end());
        std::string out;
        Desk().Tool(argv, &out);
        std::vector<std::uint64_t> ids;
        for (std::size_t at = 0; at < out.size();) {
            const std::size_t end = out.find('\n', at);
            ids.push_back(std::stoull(out.substr(at, end - at)));
            at = end == std::string::npos ? out.size() : end + 1;
        }
        return ids;
    }
};

TEST_F(SurviverWindow, TheFormOfOurWindowAndNoneForAnotherProcesssWindow) {
    StartDesktop(true, true);
    TForm form("frmSurvive");
    form.SetCaption("Survival window");
    form.SetClientSize(200, 100);
    form.Show();
    std::vector<std::uint64_t> ours;
    ASSERT_TRUE(Until(
        [&] {
            return !(ours = Windows({"--name", "^Survival window$"})).empty();
        },
        10000));
    ASSERT_EQ(ours.size(), 1u);
    EXPECT_EQ(TsvSurviverInstance::FormOfWindow(ours[0]), &form);
    EXPECT_EQ(TsvSurviverInstance::Of(form).Window(), ours[0]);

    // The tray host's windows, even one named like ours.
    const std::vector<std::uint64_t> theirs =
        Windows({"--pid", std::to_string(Desk().TrayerPid())});
    ASSERT_FALSE(theirs.empty());
    ASSERT_EQ(Desk().Tool({"xdotool", "set_window", "--name", "Survival window",
                           std::to_string(theirs[0])}),
              0);
    for (std::uint64_t w : theirs)
        EXPECT_EQ(TsvSurviverInstance::FormOfWindow(w), nullptr) << w;
    form.Hide();
}

} // namespace
} // namespace pv
