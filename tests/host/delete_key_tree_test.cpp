#include "registry/delete_key_tree.h"

#include <string>

#include "host_test.h"
#include "platform/ntdll.h"

namespace {

constexpr const char* OpenError = "Error opening key.\n";

struct Outcome {
  int result;
  std::wstring buffer;  // the path buffer afterwards
  std::string output;
};

class DeleteKeyTreeTest : public HostTest {
 protected:
  static Outcome Delete(const std::wstring& path) {
    KeyPathBuffer buffer;
    CopyKeyPath(buffer, path.c_str());
    Outcome outcome{};
    outcome.output = Output([&] { outcome.result = DeleteKeyTree(buffer); });
    outcome.buffer = buffer;
    return outcome;
  }
};

TEST_F(DeleteKeyTreeTest, LeafAndAbsentKeysLeaveTheBufferAlone) {
  hostemu::CreateKey(L"S\\Leaf");
  for (const wchar_t* path : {L"S\\Leaf", L"S\\Leaf", L"S\\Absent\\Deeper"}) {
    SCOPED_TRACE(testing::Message() << "path " << path);
    const Outcome out = Delete(path);
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.buffer, path);
    EXPECT_EQ(out.output, "");
  }
  EXPECT_KEYS(Keys{L"S"});
}

//  S
//  +- T                  <- deleted
//  |  +- a
//  |  |  +- x
//  |  |     +- deep
//  |  +- b
//  +- T2                 (shares a name prefix: stays)
//  +- U                  (sibling: stays)
TEST_F(DeleteKeyTreeTest, DeletesEachKeyRightAfterItsSubkeys) {
  hostemu::CreateKey(L"S\\T\\a\\x\\deep");
  hostemu::CreateKey(L"S\\T\\b");
  hostemu::CreateKey(L"S\\T2\\a");
  hostemu::CreateKey(L"S\\U");
  hostemu::SetValue(L"S\\T2\\a", L"v", L"kept");

  const Outcome out = Delete(L"S\\T");

  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.buffer, L"S\\T");
  EXPECT_EQ(out.output, "");
  EXPECT_EQ(hostemu::DeletedKeys(), (Keys{L"S\\T\\a\\x\\deep", L"S\\T\\a\\x",
                                          L"S\\T\\a", L"S\\T\\b", L"S\\T"}));
  EXPECT_KEYS((Keys{L"S", L"S\\T2", L"S\\T2\\a", L"S\\U"}));
  EXPECT_EQ(hostemu::GetValue(L"S\\T2\\a", L"v"), L"kept");
}

TEST_F(DeleteKeyTreeTest, TrailingBackslashIsNotDoubledAndGoesOnlyWithSubkeys) {
  hostemu::CreateKey(L"S\\T\\a\\b");
  hostemu::CreateKey(L"S\\Leaf");

  Outcome out = Delete(L"S\\T\\");
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.buffer, L"S\\T");
  EXPECT_EQ(hostemu::DeletedKeys(), (Keys{L"S\\T\\a\\b", L"S\\T\\a", L"S\\T"}));

  out = Delete(L"S\\Leaf\\");
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.buffer, L"S\\Leaf\\");
  out = Delete(L"S\\Absent\\");
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.buffer, L"S\\Absent\\");
  EXPECT_KEYS(Keys{L"S"});
}

//  K
//  +- 1        deleted
//  +- 2        cannot be opened or deleted: the walk stops here
//  |  +- y
//  +- 3        not attempted
TEST_F(DeleteKeyTreeTest, StopsAtTheFirstSubkeyThatCannotBeOpened) {
  hostemu::CreateKey(L"K\\1\\x");
  hostemu::CreateKey(L"K\\2\\y");
  hostemu::CreateKey(L"K\\3");
  hostemu::DenyAccess(L"K\\2", hostemu::DenyEverything);

  const Outcome out = Delete(L"K");

  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.output, OpenError);
  EXPECT_EQ(out.buffer, L"K");
  EXPECT_KEYS((Keys{L"K", L"K\\2", L"K\\2\\y", L"K\\3"}));
}

TEST_F(DeleteKeyTreeTest, UnopenableKeyDeepDownWritesOneMessage) {
  hostemu::CreateKey(L"K\\a\\b\\c\\locked");
  hostemu::CreateKey(L"K\\a\\b\\c\\other");
  hostemu::DenyAccess(L"K\\a\\b\\c\\locked", hostemu::DenyEverything);
  hostemu::DenyAccess(L"K\\a\\b\\c\\other", hostemu::DenyEverything);
  const Outcome out = Delete(L"K");
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.output, OpenError);
  EXPECT_EQ(out.buffer, L"K");
}

TEST_F(DeleteKeyTreeTest, RefusedDeletionOfAReadableKeyIsQuiet) {
  hostemu::CreateKey(L"K\\sub\\leaf");
  hostemu::DenyAccess(L"K", DELETE);
  const Outcome out = Delete(L"K");
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.output, "");
  // Its subkeys could be deleted, and were.
  EXPECT_KEYS(Keys{L"K"});

  hostemu::CreateKey(L"L");
  hostemu::DenyAccess(L"L", DELETE);
  EXPECT_EQ(Delete(L"L").result, 0);
  EXPECT_TRUE(hostemu::KeyExists(L"L"));
}

TEST_F(DeleteKeyTreeTest, UnreadableKeyIsDeletedWhenItIsALeaf) {
  hostemu::CreateKey(L"K\\leaf");
  hostemu::CreateKey(L"K\\inner\\x");
  hostemu::DenyAccess(L"K\\leaf", KEY_READ);
  hostemu::DenyAccess(L"K\\inner", KEY_READ);
  EXPECT_EQ(Delete(L"K\\leaf").result, 1);
  const Outcome out = Delete(L"K\\inner");
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.output, OpenError);
  EXPECT_KEYS((Keys{L"K", L"K\\inner", L"K\\inner\\x"}));
}

//  Row
//  +- a
//  |  +- ToNeighbour  -> link to Neighbour (which has a subtree)
//  +- Dangling        -> link to a key that does not exist
//  +- Loop            -> link to Row itself
//  Neighbour
//  +- child
TEST_F(DeleteKeyTreeTest, LinksAreRemovedAsLinksAndNeverFollowed) {
  hostemu::CreateKey(L"Neighbour\\child");
  hostemu::SetValue(L"Neighbour\\child", L"v", L"kept");
  hostemu::CreateKey(L"Row\\a");
  hostemu::CreateLink(L"Row\\a\\ToNeighbour", L"Neighbour");
  hostemu::CreateLink(L"Row\\Dangling", L"Nowhere");
  hostemu::CreateLink(L"Row\\Loop", L"Row");

  const Outcome out = Delete(L"Row");

  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.output, "");
  EXPECT_KEYS((Keys{L"Neighbour", L"Neighbour\\child"}));
  EXPECT_EQ(hostemu::GetValue(L"Neighbour\\child", L"v"), L"kept");
}

TEST_F(DeleteKeyTreeTest, ARowThatIsALinkIsRemovedAsALink) {
  hostemu::CreateKey(L"Neighbour");  // a leaf: deleting by name would take it
  hostemu::CreateLink(L"S\\Row", L"Neighbour");
  EXPECT_EQ(Delete(L"S\\Row").result, 1);
  EXPECT_KEYS((Keys{L"Neighbour", L"S"}));
}

TEST_F(DeleteKeyTreeTest, ListedSubkeyThatCannotBeOpenedEndsTheWalk) {
  hostemu::CreateKey(L"K\\real");
  hostemu::AddPhantomSubkey(L"K", L"Ghost");
  const Outcome out = Delete(L"K");
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.output, "");
  EXPECT_EQ(out.buffer, L"K");
  EXPECT_TRUE(hostemu::KeyExists(L"K"));
  EXPECT_LT(hostemu::Calls().Total(), 20u);
}

TEST_F(DeleteKeyTreeTest, SubkeyThatComesBackAfterItsDeletionEndsTheWalk) {
  hostemu::CreateKey(L"K\\again");
  // Another writer puts the subkey back as soon as it is gone.
  hostemu::SetBeforeRegistryCall([] {
    if (!hostemu::KeyExists(L"K\\again") && hostemu::KeyExists(L"K")) {
      hostemu::CreateKey(L"K\\again");
    }
  });
  const Outcome out = Delete(L"K");
  hostemu::SetBeforeRegistryCall(nullptr);
  EXPECT_EQ(out.result, 0);
  EXPECT_TRUE(hostemu::KeyExists(L"K"));
  EXPECT_LT(hostemu::Calls().Total(), 30u);
}

TEST_F(DeleteKeyTreeTest, RefusesPathsThatNameNoKeyBelowTheRoot) {
  hostemu::CreateKey(L"SOFTWARE\\x");
  const Outcome empty = Delete(L"");
  EXPECT_EQ(empty.result, 0);
  EXPECT_EQ(hostemu::Calls().Total(), 0u);
  // The registry itself refuses a leading backslash.
  for (const wchar_t* path : {L"\\", L"\\SOFTWARE"}) {
    SCOPED_TRACE(testing::Message() << "path '" << path << "'");
    const Outcome out = Delete(path);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.output, OpenError);
    EXPECT_EQ(out.buffer, path);
  }
  EXPECT_KEYS((Keys{L"SOFTWARE", L"SOFTWARE\\x"}));

  KeyPathBuffer unterminated;
  for (wchar_t& c : unterminated) {
    c = L'S';
  }
  const size_t calls = hostemu::Calls().Total();
  EXPECT_EQ(DeleteKeyTree(unterminated), 0);
  EXPECT_EQ(hostemu::Calls().Total(), calls);
}

// Key paths built from 'p' components to an exact length.
std::wstring PathOfLength(size_t length) {
  std::wstring path = L"R";
  while (path.size() + 101 <= length) {
    path += L"\\" + std::wstring(100, L'p');
  }
  if (path.size() + 1 < length) {
    path += L"\\" + std::wstring(length - path.size() - 1, L'q');
  }
  path.resize(length, L'r');
  return path;
}

TEST_F(DeleteKeyTreeTest, DescendsOnlyWherePathsFitThe519Characters) {
  // 517 + '\' + 'c' = 519: fits.
  const std::wstring fits = PathOfLength(517);
  hostemu::CreateKey(fits + L"\\c");
  Outcome out = Delete(fits);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.buffer, fits);
  EXPECT_FALSE(hostemu::KeyExists(fits));
  hostemu::Reset();

  // 518 + '\' + 'c' = 520: the subkey is not reached and nothing goes.
  const std::wstring tooDeep = PathOfLength(518);
  hostemu::CreateKey(tooDeep + L"\\c");
  out = Delete(tooDeep);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.buffer, tooDeep);
  EXPECT_TRUE(hostemu::KeyExists(tooDeep + L"\\c"));
  EXPECT_EQ(hostemu::DeletedKeys(), Keys{});
  hostemu::Reset();

  // 519 characters leave no room even for the backslash; as a leaf it goes.
  const std::wstring full = PathOfLength(519);
  hostemu::CreateKey(full + L"\\c");
  out = Delete(full);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.buffer, full);
  EXPECT_TRUE(hostemu::KeyExists(full + L"\\c"));
  hostemu::Reset();
  hostemu::CreateKey(full);
  out = Delete(full);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.buffer, full);
  EXPECT_FALSE(hostemu::KeyExists(full));
}

TEST_F(DeleteKeyTreeTest, StopsWhereAGrandchildPathWouldNotFit) {
  // R\...\k (510) \ mid (514) \ long-name (> 519): the walk stops at mid.
  const std::wstring key = PathOfLength(510);
  hostemu::CreateKey(key + L"\\first");
  hostemu::CreateKey(key + L"\\mid\\" + std::wstring(10, L'z'));
  hostemu::CreateKey(key + L"\\then");
  const Outcome out = Delete(key);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.buffer, key);
  EXPECT_FALSE(hostemu::KeyExists(key + L"\\first"));
  EXPECT_TRUE(hostemu::KeyExists(key + L"\\mid\\" + std::wstring(10, L'z')));
  EXPECT_TRUE(hostemu::KeyExists(key + L"\\then"));
}

}  // namespace

namespace {

//  Root
//  +- i0 .. i2       inner keys
//     +- l0 .. l4    leaves
// Each registry call is a round trip to the registry: the walk's cost is
// their number. A link-safe walk need not cost more than a plain one:
// enumerate, open, delete, close per leaf; two more per inner key.
TEST_F(DeleteKeyTreeTest, CostsFourRegistryCallsPerLeafAndSixPerInnerKey) {
  for (int i = 0; i < 3; ++i) {
    for (int l = 0; l < 5; ++l) {
      hostemu::CreateKey(L"Root\\i" + std::to_wstring(i) + L"\\l" +
                         std::to_wstring(l));
    }
  }
  EXPECT_EQ(Delete(L"Root").result, 1);
  const hostemu::CallCounts calls = hostemu::Calls();
  std::printf("registry calls for 15 leaves and 4 inner keys: %zu\n",
              calls.Total());
  EXPECT_LE(calls.Total(), 15 * 4 + 4 * 6u);
  EXPECT_EQ(calls.deleteByName, 0u);  // never by name: that follows links

  hostemu::CreateKey(L"Leaf");
  const size_t before = hostemu::Calls().Total();
  EXPECT_EQ(Delete(L"Leaf").result, 1);
  EXPECT_LE(hostemu::Calls().Total() - before, 3u);
}

}  // namespace

namespace {

//  Vendor
//  +- Row            <- deleted
//     +- a
//     |  +- x
//     |  +- y
//     +- b
//  Victim            (what a link may point at: names the walk would ask for)
//  +- a  +- x, y
//  +- b, x, y
// Before each registry call k of the walk in turn, another writer deletes a
// key the walk holds open and puts a link to Victim in its place. Opened by
// whole paths, the walk would then reach into Victim through the link.
TEST_F(DeleteKeyTreeTest, AKeySwappedForALinkMidWalkNeverLeadsOutOfTheTree) {
  const Keys tree{L"Vendor\\Row", L"Vendor\\Row\\a", L"Vendor\\Row\\a\\x",
                  L"Vendor\\Row\\a\\y", L"Vendor\\Row\\b"};
  const Keys victim{L"Victim",       L"Victim\\a", L"Victim\\a\\x",
                    L"Victim\\a\\y", L"Victim\\b", L"Victim\\x",
                    L"Victim\\y"};
  const auto build = [&] {
    hostemu::Reset();
    for (const std::wstring& key : tree) {
      hostemu::CreateKey(key);
    }
    for (const std::wstring& key : victim) {
      hostemu::CreateKey(key);
      hostemu::SetValue(key, L"v", key);
    }
  };
  build();
  EXPECT_EQ(Delete(tree[0]).result, 1);
  const size_t calls = hostemu::Calls().Total();

  size_t swaps = 0;
  for (size_t k = 1; k <= calls; ++k) {
    for (size_t choice = 0;; ++choice) {
      SCOPED_TRACE(testing::Message()
                   << "call " << k << ", open key " << choice);
      build();
      hostemu::SetRegistryCallLimit(10 * calls);
      std::wstring swapped;
      hostemu::SetBeforeRegistryCall([&] {
        const Keys open = hostemu::OpenKeys();
        if (hostemu::Calls().Total() == k && choice < open.size()) {
          swapped = open[choice];
          hostemu::ReplaceWithLink(swapped, L"Victim");
        }
      });
      const Outcome out = Delete(tree[0]);
      hostemu::SetBeforeRegistryCall(nullptr);
      if (swapped.empty()) {
        break;
      }
      ++swaps;
      for (const std::wstring& key : victim) {
        EXPECT_EQ(hostemu::GetValue(key, L"v"), key) << "victim touched";
      }
      EXPECT_EQ(hostemu::OpenHandleCount(), 0u);
      // The swapped key and its subtree went with the other writer; of the
      // rest, 1 means that nothing remains.
      bool remains = false;
      for (const std::wstring& key : tree) {
        if (key != swapped && key.rfind(swapped + L"\\", 0) != 0) {
          remains = remains || hostemu::KeyExists(key);
        }
      }
      EXPECT_EQ(out.result, remains ? 0 : 1);
      // A key deleted under the walk is gone, not an error.
      EXPECT_EQ(out.output, "");
    }
  }
  // Every call but the first finds the named key open, most several keys.
  EXPECT_GT(swaps, calls);

  // What the walk takes for deleted, as Microsoft's NTSTATUS values list it:
  // the emulation answers with the same constants, so only this can tell.
  static_assert(STATUS_SUCCESS == 0x00000000, "STATUS_SUCCESS");
  static_assert(STATUS_KEY_DELETED == static_cast<LONG>(0xC000017C),
                "STATUS_KEY_DELETED");
}

}  // namespace
