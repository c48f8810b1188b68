#include "platform/ui/CommandRouter.h"

#include <gtest/gtest.h>

#include <QtGui/QAction>
#include <map>
#include <string>
#include <vector>

namespace {

using platform::ui::CommandState;
using platform::ui::CommandTarget;

class Target : public CommandTarget {
  public:
    Target(std::string name, std::vector<std::string>& log) : name_(std::move(name)), log_(log) {}
    bool OnCommand(std::uint32_t id) override {
        if (handles.count(id) == 0) {
            return false;
        }
        log_.push_back(name_ + ":" + std::to_string(id));
        return true;
    }
    bool OnUpdateCommand(std::uint32_t id, CommandState& state) override {
        auto it = handles.find(id);
        if (it == handles.end()) {
            return false;
        }
        state.checked = it->second;
        return true;
    }
    std::map<std::uint32_t, bool> handles;  // command -> checked

  private:
    std::string name_;
    std::vector<std::string>& log_;
};

class CommandRouterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        router.SetApplication(&app);
        router.SetFrame(&frame);
        router.SetActiveView(&view, &document);
    }
    std::vector<std::string> log;
    Target view{"view", log}, document{"document", log}, frame{"frame", log}, app{"app", log};
    platform::ui::CommandRouter router;
};

TEST_F(CommandRouterTest, TheFirstTargetInFrameworkOrderGetsTheCommand) {
    app.handles[1] = false;
    frame.handles[1] = false;
    document.handles[1] = false;
    view.handles[1] = false;
    EXPECT_TRUE(router.Route(1));
    view.handles.clear();
    EXPECT_TRUE(router.Route(1));
    document.handles.clear();
    EXPECT_TRUE(router.Route(1));
    frame.handles.clear();
    EXPECT_TRUE(router.Route(1));
    EXPECT_EQ(log, (std::vector<std::string>{"view:1", "document:1", "frame:1", "app:1"}));
}

TEST_F(CommandRouterTest, UnhandledCommandsDoNothingAndAreDisabled) {
    EXPECT_FALSE(router.Route(57643));
    EXPECT_TRUE(log.empty());
    EXPECT_FALSE(router.Query(57643).enabled);
    frame.handles[59392] = true;
    const CommandState state = router.Query(59392);
    EXPECT_TRUE(state.enabled);
    EXPECT_TRUE(state.checked);
}

TEST_F(CommandRouterTest, BoundActionsIssueTheirCommandAndFollowItsState) {
    QAction handled("handled");
    QAction unhandled("unhandled");
    handled.setCheckable(true);
    frame.handles[59393] = true;
    router.BindAction(&handled, 59393);
    router.BindAction(&unhandled, 57635);
    router.UpdateActions();
    EXPECT_TRUE(handled.isEnabled());
    EXPECT_TRUE(handled.isChecked());
    EXPECT_FALSE(unhandled.isEnabled());
    EXPECT_EQ(platform::ui::CommandRouter::CommandOf(&handled), 59393u);

    handled.trigger();
    EXPECT_EQ(log, std::vector<std::string>{"frame:59393"});
    // Without a view the document is not asked either.
    router.SetActiveView(nullptr, nullptr);
    EXPECT_EQ(router.Chain().size(), 2u);
}

}  // namespace
