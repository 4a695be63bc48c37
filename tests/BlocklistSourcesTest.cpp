#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "VeskLists/BlocklistCache.hpp"
#include "VeskLists/BlocklistSource.hpp"
#include "VeskLists/ListConverter.hpp"
#include "VeskPlatform/Files.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;

// Each published form of a list, mixed in one download, in the blocklist file's form.
TEST(ListConverter, ReadsDomainHostsAndAdblockListsHoweverTheBytesAreCut) {
    const std::string list =
        "\xEF\xBB\xBF" "Plain.Example\r\n# comment\n! adblock comment\n\n"
        "0.0.0.0 a.example B.example. #trailing\n127.0.0.1\tlocalhost localhost.localdomain\n"
        "::1 ip6-localhost v6.example\n0.0.0.0 0.0.0.0\n"
        "||ad.example^\n\u00c9cole.example\n  spaced.example  \n"
        // skipped: a rule with options, a wildcard, a URL, two words, bad labels, not UTF-8,
        // and a line longer than any list's, which is never held whole
        "||opt.example^$third-party\n*.wild.example\nhttp://url.example/\nsome words.example\n"
        "a..b.example\n.lead.example\nnodot\n" + std::string(64, 'x') + ".example\n\xff.example\n" +
        "0.0.0.0 long.example" + std::string(5000, ' ') + "long2.example\nlast.example";
    const std::vector<std::string> want = {"plain.example", "a.example",     "b.example",    "v6.example",
                                           "ad.example",    "\u00e9cole.example", "spaced.example", "last.example"};
    for (size_t chunk : {list.size(), size_t{1}, size_t{7}}) {
        std::vector<std::string> got;
        ListConverter converter([&](std::string_view name) { got.emplace_back(name); });
        for (size_t from = 0; from < list.size(); from += chunk) {
            converter.feed(std::string_view(list).substr(from, chunk));
        }
        auto counts = converter.finish();
        EXPECT_EQ(got, want) << chunk;
        EXPECT_EQ(std::pair(counts.names, counts.skipped), std::pair(want.size(), size_t{10})) << chunk;
    }
    // As a file: the same lines, readable by everyone, and nothing in place of an unreadable source.
    test::TempDir dir;
    ListConverter::Counts counts;
    std::string to = dir.path() + "/list.txt";
    EXPECT_EQ(ListConverter::convertFile(dir.write("source", list), to, counts), "");
    EXPECT_EQ(Files::readAll(to), "plain.example\na.example\nb.example\nv6.example\nad.example\n\u00e9cole.example\n"
                                  "spaced.example\nlast.example\n");
    EXPECT_EQ(std::filesystem::status(to).permissions(), std::filesystem::perms(0644));
    EXPECT_NE(ListConverter::convertFile(dir.path() + "/missing", dir.path() + "/none", counts), "");
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/none"));
}

using Verdict = BlocklistSource::Verdict;

// One source through failures, conditional answers, an empty list and shrinking ones; its
// good copy has 100 names and an hour between refreshes.
TEST(BlocklistSource, KeepsTheLastGoodCopyUntilAShrunkOneComesThreeTimesInARow) {
    BlocklistSource source({{"\"e1\"", "Mon, 07 Dec 2026 10:00:00 GMT", "A", 100}}, 3600s);
    const std::vector<std::string> conditional = {"If-None-Match: \"e1\"",
                                                  "If-Modified-Since: Mon, 07 Dec 2026 10:00:00 GMT"};
    EXPECT_EQ(source.conditionalHeaders(), conditional);
    // f: failed; n: 304; otherwise names and digest of a converted download.
    const struct {
        char kind;
        size_t names;
        const char* digest;
        Verdict verdict;
        std::chrono::seconds next;
    } steps[] = {
        {'f', 0, "", Verdict::failed, 60s},          {'f', 0, "", Verdict::failed, 120s},
        {'f', 0, "", Verdict::failed, 240s},         {'f', 0, "", Verdict::failed, 480s},
        {'f', 0, "", Verdict::failed, 960s},         {'f', 0, "", Verdict::failed, 1920s},
        {'f', 0, "", Verdict::failed, 3600s},        {'n', 0, "", Verdict::unchanged, 3600s},
        {'d', 49, "S", Verdict::refusedShrunk, 3600s}, {'d', 49, "S", Verdict::refusedShrunk, 3600s},
        {'f', 0, "", Verdict::failed, 60s},  // a failure is no refresh that served something else
        {'d', 49, "S", Verdict::takenShrunk, 3600s}, {'d', 0, "E", Verdict::refusedEmpty, 3600s},
        {'d', 49, "S", Verdict::unchanged, 3600s},   {'d', 50, "T", Verdict::taken, 3600s},
        {'d', 24, "U", Verdict::refusedShrunk, 3600s}, {'d', 24, "V", Verdict::refusedShrunk, 3600s},
        {'d', 24, "V", Verdict::refusedShrunk, 3600s}, {'n', 0, "", Verdict::unchanged, 3600s},
        {'d', 24, "V", Verdict::refusedShrunk, 3600s}, {'d', 0, "E", Verdict::refusedEmpty, 3600s},
        {'d', 24, "V", Verdict::refusedShrunk, 3600s}, {'d', 24, "V", Verdict::refusedShrunk, 3600s},
        {'d', 25, "W", Verdict::taken, 3600s},  // half is no shrink
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(static_cast<int>(&step - steps));
        Verdict verdict = step.kind == 'f'   ? source.failed()
                          : step.kind == 'n' ? source.notModified()
                                             : source.fetched({"", "", step.digest, step.names});
        EXPECT_EQ(verdict, step.verdict);
        EXPECT_EQ(source.nextDelay(), step.next);
    }
    EXPECT_EQ(source.good()->digest, "W");
    // With no good copy nothing is asked conditionally, so a 304 is the server's fault.
    BlocklistSource fresh(std::nullopt, 7200s);
    EXPECT_EQ(fresh.notModified(), Verdict::failed);
    for (auto next : {120s, 240s, 300s, 300s}) EXPECT_EQ((fresh.failed(), fresh.nextDelay()), next);  // none in force
    EXPECT_EQ(fresh.fetched({"", "", "X", 1}), Verdict::taken);
    EXPECT_EQ(fresh.nextDelay(), 7200s);
    for (auto [draw, period] : {std::pair(0.0, 86400s), std::pair(0.5, 82080s), std::pair(7.0, 77760s)}) {
        EXPECT_EQ(BlocklistSource::jittered(86400s, draw), period) << draw;
    }
}

// A copy is trusted only while its list matches the record's digest and the record is the
// URL's; whatever the server sent as validators is stored safely.
TEST(BlocklistCache, LoadsOnlyACopyThatMatchesItsRecord) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    BlocklistCache cache(dir.path());
    const std::string url = "https://lists.example/adult", other = "https://lists.example/other";
    std::string why;
    EXPECT_FALSE(cache.load(url, why));
    EXPECT_EQ(why, "no cached copy");
    std::ofstream(cache.pendingPath(url)) << "a.example\nb.example\n";
    const std::string digest = BlocklistCache::digestOf(cache.pendingPath(url));
    BlocklistCache::Record record{{"\"e\xff\"", "Mon, 07 Dec 2026 10:00:00 GMT", digest, 2}, "2026-12-07T10:00:00Z"};
    ASSERT_EQ(cache.commit(url, record), "");
    EXPECT_FALSE(fs::exists(cache.pendingPath(url)));
    auto loaded = cache.load(url, why);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(std::tuple(loaded->copy.etag, loaded->copy.digest, loaded->copy.names, loaded->updated),
              std::tuple(std::string("\"e\uFFFD\""), digest, size_t{2}, record.updated));
    EXPECT_EQ(fs::status(cache.listPath(url)).permissions(), fs::perms(0644));
    EXPECT_EQ(fs::status(cache.recordPath(url)).permissions(), fs::perms(0644));
    // New validators for the same list need no list moved.
    record.copy.etag = "\"e2\"";
    ASSERT_EQ(cache.commit(url, record, false), "");
    EXPECT_EQ(cache.load(url, why).value().copy.etag, "\"e2\"");
    // Another URL cannot borrow the record, and an altered list is not trusted.
    fs::copy_file(cache.recordPath(url), cache.recordPath(other));
    fs::copy_file(cache.listPath(url), cache.listPath(other));
    EXPECT_FALSE(cache.load(other, why));
    EXPECT_EQ(why, "its record is unreadable");
    std::ofstream(cache.listPath(url)) << "a.example\n";
    EXPECT_FALSE(cache.load(url, why));
    EXPECT_EQ(why, "the cached copy does not match its digest");
}

}  // namespace
}  // namespace vesk
