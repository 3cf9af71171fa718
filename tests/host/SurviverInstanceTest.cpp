// The association of native windows with forms: one instance per form for
// all its windows, and no form for a window this process did not attach.
#include <gtest/gtest.h>

#include <memory>

#include "host/SurviverInstance.h"
#include "platform/ui/Form.h"

namespace pv {
namespace {

TEST(SurviverInstance, AFormsWindowsFollowItsOneInstanceAndNoOtherWindowHasAForm) {
    const std::size_t before = TsvSurviverInstance::Count();
    auto form = std::make_unique<TForm>("form");
    TForm other("other");
    TsvSurviverInstance &instance = TsvSurviverInstance::Of(*form);
    instance.WindowCreated(0x400007);
    TsvSurviverInstance::Of(other).WindowCreated(0x400010);
    EXPECT_EQ(TsvSurviverInstance::FormOfWindow(0x400007), form.get());
    EXPECT_EQ(TsvSurviverInstance::FormOfWindow(0x400010), &other);
    // Never attached here: another process's window, or none.
    EXPECT_EQ(TsvSurviverInstance::FormOfWindow(0x600001), nullptr);
    EXPECT_EQ(TsvSurviverInstance::FormOfWindow(0), nullptr);

    // The window made again: the same instance, only the new window counts.
    EXPECT_EQ(&TsvSurviverInstance::Of(*form), &instance);
    instance.WindowCreated(0x400020);
    EXPECT_EQ(TsvSurviverInstance::FormOfWindow(0x400007), nullptr);
    EXPECT_EQ(TsvSurviverInstance::FormOfWindow(0x400020), form.get());
    instance.WindowCreated(0); // destroyed
    EXPECT_EQ(TsvSurviverInstance::FormOfWindow(0x400020), nullptr);
    EXPECT_EQ(TsvSurviverInstance::Count(), before + 2);

    instance.WindowCreated(0x400030);
    const TControl *key = form.get();
    form.reset();
    TsvSurviverInstance::Release(key);
    EXPECT_EQ(TsvSurviverInstance::FormOfWindow(0x400030), nullptr);
    TsvSurviverInstance::Release(&other);
    EXPECT_EQ(TsvSurviverInstance::Count(), before);
}

} // namespace
} // namespace pv
