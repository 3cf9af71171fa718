// The icon list: its stored form, its change reports, and bad indexes.
#include <gtest/gtest.h>

#include "host/IconList.h"
#include "platform/FileSystem.h"

namespace pv {
namespace {

std::vector<std::string> Images(const TIconList &list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); ++i)
        out.push_back(list.Items(i) ? list.Items(i)->Data() : "<empty>");
    return out;
}

struct Image : TIcon {
    explicit Image(const std::string &bytes) { LoadFromData(bytes); }
};

TEST(IconList, StoredFormRoundTripsAndDamagedDataChangesNothing) {
    TIconList list;
    Image a("AAAA"), b(std::string("B\0B", 3));
    list.Add(&a);
    list.Add(&b);
    list.SetItem(2, nullptr); // appends an empty icon
    const std::string stored = list.WriteData();
    EXPECT_EQ(stored.substr(0, 4), std::string("\x03\0\0\0", 4));
    EXPECT_EQ(stored.size(), 4 + (4 + 4) + (4 + 3) + 4u);

    TIconList copy;
    int changes = 0;
    copy.OnChange = [&changes](TObject *) { ++changes; };
    copy.ReadData(stored);
    EXPECT_EQ(changes, 1); // one report for the whole read
    // An empty icon is stored as size 0 and comes back as an empty slot.
    EXPECT_EQ(Images(copy), (std::vector<std::string>{"AAAA", std::string("B\0B", 3), "<empty>"}));
    EXPECT_EQ(copy.WriteData(), stored);

    // Sizes of 0 or less are empty slots.
    copy.ReadData(std::string("\x02\0\0\0\0\0\0\0\xff\xff\xff\xff", 12));
    EXPECT_EQ(Images(copy), (std::vector<std::string>{"<empty>", "<empty>"}));

    for (const std::string &bad :
         {std::string("\x01\0\0", 3), std::string("\x01\0\0\0\x09\0\0\0abc", 11),
          std::string("\xff\xff\xff\xff", 4), std::string("\x02\0\0\0\x01\0\0\0x", 9)}) {
        TIconList kept;
        kept.ReadData(stored);
        EXPECT_THROW(kept.ReadData(bad), EReadError);
        EXPECT_EQ(kept.WriteData(), stored);
    }
}

TEST(IconList, StoredOnlyWhenItHoldsIconsThatDifferFromTheAncestor) {
    TIconList list, ancestor;
    EXPECT_FALSE(list.ShouldStore(nullptr));
    Image a("a"), b("b");
    list.Add(&a);
    EXPECT_TRUE(list.ShouldStore(nullptr));
    ancestor.Add(&a);
    EXPECT_FALSE(list.ShouldStore(&ancestor));
    ancestor.Add(&b);
    EXPECT_TRUE(list.ShouldStore(&ancestor)); // another length
    list.Add(&a);
    EXPECT_TRUE(list.ShouldStore(&ancestor));
}

TEST(IconList, ChangesAreReportedOnceForTheOutermostUpdateAndFromItsIcons) {
    TIconList list;
    int changes = 0;
    list.OnChange = [&changes](TObject *) { ++changes; };
    Image a("a"), b("b");
    list.BeginUpdate();
    list.BeginUpdate();
    list.Add(&a);
    list.Add(&b);
    list.EndUpdate();
    EXPECT_EQ(changes, 0);
    list.EndUpdate();
    EXPECT_EQ(changes, 1);
    list.Items(0)->LoadFromData("changed in place");
    EXPECT_EQ(changes, 2);
    list.Exchange(0, 1);
    list.Move(0, 1);
    EXPECT_EQ(Images(list), (std::vector<std::string>{"changed in place", "b"}));
    EXPECT_EQ(changes, 4);
    list.Assign(&a);
    EXPECT_EQ(Images(list), (std::vector<std::string>{"a"}));
    EXPECT_EQ(changes, 5);
    // The list owns copies: changing the original changes nothing in it.
    a.LoadFromData("other");
    EXPECT_EQ(Images(list), (std::vector<std::string>{"a"}));
    EXPECT_EQ(list.IndexOf(&a), -1);
    EXPECT_EQ(list.IndexOf(list.Items(0)), 0);
}

TEST(IconList, BadIndexesAndMissingResourcesRaise) {
    TIconList list;
    Image a("a");
    EXPECT_THROW(list.Items(0), EListError);
    EXPECT_THROW(list.SetItem(1, &a), EListError);
    EXPECT_THROW(list.Insert(-1, &a), EListError);
    list.Add(&a);
    EXPECT_THROW(list.Delete(1), EListError);
    EXPECT_THROW(list.Move(0, 1), EListError);
    try {
        list.AddResource("no-such-image.png");
        FAIL() << "a missing resource was added";
    } catch (const EResNotFound &e) {
        EXPECT_STREQ(e.what(), "Resource no-such-image.png not found");
    }
    EXPECT_THROW(list.AddResource("../etc/passwd"), EResNotFound);
    EXPECT_EQ(list.Count(), 1);
}

TEST(Icon, AHandleFindsTheImageUntilTheIconChanges) {
    TIcon icon;
    EXPECT_EQ(icon.Handle(), -1);
    icon.LoadFromData("first");
    const HICON h = icon.Handle();
    EXPECT_EQ(*IconImage(h), "first");
    EXPECT_EQ(icon.Handle(), h);
    icon.LoadFromData("second");
    EXPECT_EQ(IconImage(h), nullptr);
    EXPECT_EQ(*IconImage(icon.Handle()), "second");
    EXPECT_FALSE(icon.LoadFromFile("/nonexistent/icon.png"));
    EXPECT_EQ(icon.Data(), "second");
}

} // namespace
} // namespace pv
