// Each device's lists derived from the site: holders by tag, by serial and everywhere, the
// card order, manual mode, the 88-card bound, lists by tag, and the bounds of what the API takes.
#include <gtest/gtest.h>

#include "Site.h"

namespace velkor::gateway {
namespace {

constexpr std::uint64_t kFront = 0x0A0000000000A1, kBack = 0x0B0000000000B2;

Holder HolderOf(std::int64_t card, std::vector<std::string> devices) {
  FieldError error;
  Json body = {{"name", "p" + std::to_string(card)}, {"cardNumber", card}, {"devices", devices}};
  auto holder = HolderFromJson(body, error);
  EXPECT_TRUE(holder) << error.Message();
  return *holder;
}

std::vector<std::int64_t> CardNumbers(const Json& records) {
  std::vector<std::int64_t> cards;
  for (const Json& card : records) {
    cards.push_back(card["cardNumber"].get<std::int64_t>());
  }
  return cards;
}

DeviceView ViewOf(std::uint64_t serial, std::vector<std::string> tags) {
  DeviceView view;
  view.serial = serial;
  view.tags = std::move(tags);
  return view;
}

TEST(SiteTest, EachDeviceGetsTheCardsOfTheHoldersThatReachIt) {
  Site site;
  site.holders = {HolderOf(30, {"hq"}), HolderOf(10, {"*"}), HolderOf(20, {"0B0000000000B2"}),
                  HolderOf(40, {"hq", "lab"})};
  DeviceView manual = ViewOf(kFront, {"hq"});
  manual.manual[0] = true;
  manual.current[0] = Json::array();
  DeviceView same = ViewOf(kFront, {});
  same.current[0] = Json::array({site.holders[1].card});
  DeviceView forced = same;
  forced.force[0] = true;
  const struct {
    const char* what;
    DeviceView device;
    std::optional<std::vector<std::int64_t>> cards;  // nullopt: no change
  } cases[] = {
      {"by tag, by card number", ViewOf(kFront, {"lab", "hq"}), {{10, 30, 40}}},
      {"by serial", ViewOf(kBack, {}), {{10, 20}}},
      {"a holder named twice counts once", ViewOf(kBack, {"hq", "lab"}), {{10, 20, 30, 40}}},
      {"an unknown tag gives only the wildcard", ViewOf(kFront, {"garage"}), {{10}}},
      {"manual mode is left alone", manual, std::nullopt},
      {"an equal list is not written again", same, std::nullopt},
      {"a list given back is written even when equal", forced, {{10}}},
  };
  for (const auto& c : cases) {
    const ListPlan plan = PlanLists(site, {c.device});
    std::optional<std::vector<std::int64_t>> cards;
    for (const ListChange& change : plan.changes) {
      if (change.kind == ListKind::kCards) {
        cards = CardNumbers(change.records);
      }
    }
    EXPECT_EQ(cards, c.cards) << c.what;
    EXPECT_TRUE(plan.overfull.empty()) << c.what;
  }
}

TEST(SiteTest, ATagTakenOffEmptiesTheListAndTooManyCardsAreRefused) {
  Site site;
  site.holders = {HolderOf(1, {"hq"})};
  DeviceView untagged = ViewOf(kFront, {});
  untagged.current[0] = Json::array({site.holders[0].card});
  ListPlan plan = PlanLists(site, {untagged, ViewOf(kBack, {})});
  ASSERT_EQ(plan.changes.size(), 1u) << "no list and nothing given is no change";
  EXPECT_EQ(plan.changes[0].serial, kFront);
  EXPECT_TRUE(plan.changes[0].records.empty());

  for (std::int64_t card = 2; card <= static_cast<std::int64_t>(kMaxCards) + 1; ++card) {
    site.holders.push_back(HolderOf(card, {card % 2 == 0 ? "*" : "hq"}));
  }
  plan = PlanLists(site, {ViewOf(kFront, {"hq"}), ViewOf(kBack, {})});
  ASSERT_EQ(plan.overfull.size(), 1u);
  EXPECT_EQ(plan.overfull[0].serial, kFront);
  EXPECT_EQ(plan.overfull[0].cards, kMaxCards + 1);
  EXPECT_NE(OverfullMessage(plan.overfull).find("0A0000000000A1 would hold 89"), std::string::npos);
}

TEST(SiteTest, GroupsAndSchedulesComeFromTheDevicesFirstTagThatHasThem) {
  Site site;
  const Json day = Json::array({{{"groupNumber", 1}}});
  const Json night = Json::array({{{"groupNumber", 2}}});
  site.tagLists["day"][1] = day;
  site.tagLists["night"][1] = night;
  site.tagLists["night"][2] = Json::array({{{"index", 3}}});
  const ListPlan plan = PlanLists(site, {ViewOf(kFront, {"lab", "night", "day"})});
  ASSERT_EQ(plan.changes.size(), 2u);
  EXPECT_EQ(plan.changes[0].kind, ListKind::kGroups);
  EXPECT_EQ(plan.changes[0].records, night);
  EXPECT_EQ(plan.changes[1].kind, ListKind::kSchedules);
}

TEST(SiteTest, LabelsAndHoldersOutOfBoundsNameTheirField) {
  const std::string longName(65, 'x');
  std::string wide;  // 64 characters, 128 bytes
  for (int i = 0; i < 64; ++i) {
    wide += "ë";
  }
  const std::vector<std::string> tooManyTags(kMaxTags + 1, "t");
  const struct {
    Json labels;
    const char* field;  // "" when taken
  } labels[] = {
      {{{"name", "Front door"}, {"tags", {"hq", "floor-2"}}}, ""},
      {{{"name", wide}}, ""},
      {{{"name", longName}}, "name"},
      {{{"tags", Json::array({"HQ"})}}, "tags[0]"},
      {{{"tags", Json::array({"0a0000000000a1"})}}, "tags[0]"},
      {{{"tags", {"hq", "hq"}}}, "tags[1]"},
      {{{"tags", tooManyTags}}, "tags"},
      {{{"colour", "red"}}, "colour"},
  };
  for (const auto& c : labels) {
    FieldError error;
    EXPECT_EQ(LabelsFromJson(c.labels, error).has_value(), *c.field == '\0') << c.labels;
    EXPECT_EQ(error.field, c.field) << c.labels;
  }
  const struct {
    Json holder;
    const char* field;
  } holders[] = {
      {{{"name", "Ann"}, {"cardNumber", 7}, {"devices", {"*", "0A0000000000A1", "hq"}}}, ""},
      {{{"cardNumber", 7}}, "name"},
      {{{"name", ""}, {"cardNumber", 7}}, "name"},
      {{{"name", "Ann"}}, "cardNumber"},
      {{{"name", "Ann"}, {"cardNumber", 7}, {"password", "12a"}}, "password"},
      {{{"name", "Ann"}, {"cardNumber", 7}, {"devices", Json::array({"Front door"})}},
       "devices[0]"},
      {{{"name", "Ann"}, {"cardNumber", 7}, {"note", std::string(1001, 'n')}}, "note"},
      {{{"name", "Ann"}, {"cardNumber", 7}, {"flg0", true}}, "flg0"},
  };
  for (const auto& c : holders) {
    FieldError error;
    EXPECT_EQ(HolderFromJson(c.holder, error).has_value(), *c.field == '\0') << c.holder;
    EXPECT_EQ(error.field, c.field) << c.holder;
  }
}

}  // namespace
}  // namespace velkor::gateway
