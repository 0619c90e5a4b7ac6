#include "server/applications.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "common/process.h"
#include "server/stream_mixer.h"

namespace sonacap {
namespace {

TEST(ApplicationIdOfCgroup, TheUnitsDesktopsStartApplicationsIn) {
  struct Case {
    const char* cgroup;
    std::optional<std::string> id;
  };
  const std::vector<Case> cases = {
      {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
       "app-gnome-org.gnome.Totem-2211.scope\n",
       "org.gnome.Totem"},
      {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
       "app-flatpak-org.mozilla.firefox-1234.scope",
       "org.mozilla.firefox"},
      {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
       "app-org.kde.dolphin@0a1b.service",
       "org.kde.dolphin"},
      {"0::/app.slice/app-kde-org.kde.konsole-3.scope", "org.kde.konsole"},
      {"0::/app.slice/app-gnome-gnome\\x2dterminal-7.scope", "gnome-terminal"},
      {"0::/app.slice/app-vlc.service", "vlc"},
      {"0::/user.slice/user-1000.slice/session-2.scope", std::nullopt},
      {"0::/system.slice/pipewire.service", std::nullopt},
      {"0::/", std::nullopt},
      {"", std::nullopt},
      {"0::/app.slice/app-.scope", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(applicationIdOfCgroup(c.cgroup), c.id) << c.cgroup;
  }
}

TEST(FlatpakIdOfInfo, TheNameInTheApplicationGroup) {
  EXPECT_EQ(flatpakIdOfInfo("[Application]\nname=org.videolan.VLC\nruntime=runtime/x\n"),
            "org.videolan.VLC");
  EXPECT_EQ(flatpakIdOfInfo("[Instance]\nname=other\n[Application]\nname=com.example.App"),
            "com.example.App");
  EXPECT_EQ(flatpakIdOfInfo("[Runtime]\nname=org.gnome.Platform\n"), std::nullopt);
}

TEST(ParentOfStat, FieldAfterTheNameWhateverTheNameHolds) {
  EXPECT_EQ(parentOfStat("4242 (bash) S 4100 4242 4242 0"), 4100);
  EXPECT_EQ(parentOfStat("77 (a) b (c) R 12 77"), 12);
  EXPECT_EQ(parentOfStat("77 (web content) S 9 77"), 9);
  EXPECT_EQ(parentOfStat("77 (cut"), std::nullopt);
  EXPECT_EQ(parentOfStat(""), std::nullopt);
}

TEST(NamesOneOf, TheSameNameOrItsDesktopFile) {
  const std::vector<std::string> names = {"org.gnome.Totem", "totem"};
  EXPECT_TRUE(namesOneOf(names, {"totem"}));
  EXPECT_TRUE(namesOneOf(names, {"vlc", "org.gnome.Totem.desktop"}));
  EXPECT_FALSE(namesOneOf(names, {"Totem"}));
  EXPECT_FALSE(namesOneOf(names, {}));
}

TEST(ApplicationNames, ThisProcessIsItsExecutableAndDescendsFromItsParent) {
  const std::vector<std::string> names = applicationNames(::getpid(), {"told"});
  EXPECT_NE(std::find(names.begin(), names.end(), "sonacap_test"), names.end());
  EXPECT_EQ(names.back(), "told");
  EXPECT_TRUE(descendsFrom(::getpid(), {::getppid()}));
  EXPECT_TRUE(descendsFrom(::getpid(), {::getpid()}));
  EXPECT_FALSE(descendsFrom(::getppid(), {::getpid()}));
}

TEST(StreamMixer, StreamsJoinOncePrimedRunDryIntoSilenceAndEndWithWhatTheyHold) {
  StreamMixer mixer(2, 16);
  std::vector<float> out(3);
  const auto mixed = [&] {
    mixer.mix(out);
    return out;
  };
  using Samples = std::vector<float>;
  mixer.add(1);
  mixer.feed(1, Samples{0.5f});
  EXPECT_EQ(mixed(), (Samples{0, 0, 0})) << "one sample is not yet primed";
  mixer.feed(1, Samples{0.25f});
  mixer.add(2);
  mixer.feed(2, Samples{0.125f, 0.125f, 0.125f});
  EXPECT_EQ(mixed(), (Samples{0.625f, 0.375f, 0.125f})) << "both summed, the first runs dry";
  mixer.feed(1, Samples{1, 1});
  EXPECT_EQ(mixed(), (Samples{0, 0, 0})) << "a stream that ran dry waits for one more";
  mixer.feed(1, Samples{2});
  EXPECT_EQ(mixed(), (Samples{1, 1, 2}));
  mixer.feed(1, std::vector<float>(20, 7.0f));
  mixer.feed(1, Samples{3, 4});
  mixer.mix(std::span(out).first(1));
  EXPECT_EQ(out[0], 7.0f);
  mixer.remove(1);
  mixer.feed(1, Samples{9, 9, 9});
  std::vector<float> rest(16);
  mixer.mix(rest);
  EXPECT_EQ(rest[14], 4.0f) << "beyond the limit the oldest went; an ended stream gives the rest";
  EXPECT_EQ(rest[15], 0.0f);
  EXPECT_EQ(mixer.size(), 1u) << "the ended stream is gone once empty";
}

}  // namespace
}  // namespace sonacap
