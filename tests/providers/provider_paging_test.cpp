// Model lists in pages (Anthropic's has_more/last_id, Google's nextPageToken),
// one row per paging provider: what the server was asked, page by page, and
// the list the host got back.
#include <gtest/gtest.h>

#include "providers.h"

using namespace qai::test;

namespace {

/// One model on a page: its id and a creation date ("YYYY-MM-DD").
struct Model {
    std::string id, created;
};
using Models = std::vector<Model>;
using Names = std::vector<std::string>;
using ModelList = std::pair<Names, std::string>;

struct Paging {
    Provider provider;
    std::string tokenQuery;
    /// Tails that end the list, however much they look like more; the first is the documented one.
    Names endings;
    /// The recorded documented reply as a page that always says "more", and what it lists.
    std::string endlessPage;
    Names endlessModels;
    /// Tokens of the three-page walk's first two pages, and the walk's whole list
    /// (Anthropic's newest first over all pages, Google's in reply order).
    std::string firstToken, secondToken;
    Names threePages;

    /// A page in the provider's documented shape (the wire fixture's), ending in tail.
    std::string page(const Models& models, const std::string& tail) const {
        std::string items;
        for (const Model& m : models) {
            const std::string item = wirePart(provider.wire, "page_item");
            if (!items.empty()) items += ",";
            items += replaced(replaced(item, "<id>", m.id), "<created>", m.created);
        }
        const std::string page = replaced(wirePart(provider.wire, "page"), "<items>", items);
        return replaced(replaced(page, "<first>", models.empty() ? "" : models.front().id), "<tail>", tail);
    }
    std::string more(const std::string& token) const {
        return replaced(wirePart(provider.wire, "more"), "<token>", token);
    }
};
void PrintTo(const Paging& row, std::ostream* out) { *out << row.provider.name; }

const Models kPage1 = {{"a", "2024-01-10"}, {"b", "2025-03-01"}};
// "b" again: a page may overlap the one before, and the list still holds it once.
const Models kPage2 = {{"b", "2025-03-01"}, {"c", "2026-01-05"}, {"d", "2023-05-20"}};
const Models kPage3 = {{"e", "2025-01-01"}};

const std::vector<Paging>& pagingProviders() {
    // clang-format off
    static const std::vector<Paging> rows = {
        {providers({"anthropic"})[0], "after_id",
         {R"(,"has_more":false,"last_id":"x")", R"(,"has_more":"true","last_id":"x")", R"(,"has_more":true)",
          R"(,"has_more":true,"last_id":"")", R"(,"has_more":true,"last_id":5)"},
         readFixture("anthropic_models.json"), {"claude-sonnet-4-20250514"}, "b", "d", {"c", "b", "e", "a", "d"}},
        {providers({"google"})[0], "pageToken",
         {"", R"(,"nextPageToken":"")", R"(,"nextPageToken":7)", R"(,"nextPageToken":null)"},
         R"({"nextPageToken":"again",)" + readFixture("google_models.json").substr(1), {"gemini-pro"},
         "Cg+tok/1=", "tok 2&x", {"a", "b", "c", "d", "e"}},
    };
    // clang-format on
    return rows;
}

class ModelPages : public testing::TestWithParam<Paging> {
protected:
    void answer(const std::string& body, int status = 200) {
        server.replyOnce("GET", GetParam().provider.modelsPath, CannedReply(status, body));
    }
    TestServer server;
    AssistantPtr assistant = createAssistant(GetParam().provider.type, server.url(), "k");
};

}  // namespace

TEST_P(ModelPages, FollowTheTokenFromAnUnchangedFirstRequestAndSortTheWholeList) {
    const Paging& p = GetParam();
    answer(p.page(kPage1, p.more(p.firstToken)));
    answer(p.page(kPage2, p.more(p.secondToken)));
    answer(p.page(kPage3, p.endings.front()));
    EXPECT_EQ(assistant->obtainAvailableModels(), ModelList(p.threePages, ""));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].target,
              std::string(p.provider.modelsPath) + (p.provider.wire == Wire::Google ? "?key=k" : ""));
    EXPECT_EQ(requests[1].get_param_value(p.tokenQuery), p.firstToken);
    EXPECT_EQ(requests[2].get_param_value(p.tokenQuery), p.secondToken);
    for (const auto& request : requests) {
        EXPECT_EQ(request.path, p.provider.modelsPath);
        // Every page carries the credentials of the first.
        EXPECT_EQ(request.get_param_value("key") + request.get_header_value("x-api-key"), "k");
    }

    // Whatever a last page looks like, it is asked for once.
    for (const std::string& ending : p.endings) {
        server.clearRequests();
        answer(p.page({{"x", "2025-01-01"}}, ending));
        EXPECT_EQ(assistant->obtainAvailableModels(), ModelList({"x"}, "")) << ending;
        EXPECT_EQ(server.requestCount(), 1u) << ending;
    }
}

TEST_P(ModelPages, ServerThatNeverEndsStopsWithoutDuplicates) {
    const Paging& p = GetParam();
    // The same page forever: asked for twice, listed once, after a first page that differs.
    answer(p.page({{"first", "2026-12-01"}}, p.more(p.firstToken)));
    server.reply("GET", p.provider.modelsPath, 200, p.endlessPage);
    Names expected = p.endlessModels;
    expected.insert(expected.begin(), "first");  // the newest, and the first in reply order
    EXPECT_EQ(assistant->obtainAvailableModels(), ModelList(expected, ""));
    EXPECT_EQ(server.requestCount(), 3u);

    // A page without models adds nothing new either.
    server.clearRequests();
    answer(p.page({}, p.more(p.firstToken)));
    EXPECT_EQ(assistant->obtainAvailableModels(), ModelList({}, ""));
    EXPECT_EQ(server.requestCount(), 1u);

    // New models on every page: the page limit ends the list.
    server.clearRequests();
    for (int i = 0; i < 60; ++i) answer(p.page({{std::to_string(i), "2025-01-01"}}, p.more("t")));
    const auto [models, error] = assistant->obtainAvailableModels();
    EXPECT_EQ(error, "");
    EXPECT_EQ(models.size(), 50u);
    EXPECT_EQ(server.requestCount(), 50u);
}

TEST_P(ModelPages, LaterPageFailureFailsTheWholeCallWithThatPagesText) {
    const Paging& p = GetParam();
    const std::pair<int, std::string> failures[] = {{500, R"({"error":{"message":"overloaded"}})"},
                                                    {200, R"({"error":{"message":"denied"}})"},
                                                    {200, R"({"page":[]})"},
                                                    {200, "not json"},
                                                    {404, ""}};
    for (const auto& [status, body] : failures) {
        // The text a failing first page gives...
        answer(body, status);
        const ModelList first = assistant->obtainAvailableModels();
        EXPECT_TRUE(first.first.empty()) << body;
        // ...is the whole call's text when the second page fails, and no list comes back. Where
        // the first page's text is empty, a later page says "Invalid response" instead: an
        // incomplete list must not pass for an empty one.
        server.clearRequests();
        answer(p.page(kPage1, p.more(p.firstToken)));
        answer(body, status);
        const std::string later =
            first.second.empty() ? "Invalid response: g" + std::string(p.provider.modelsPath) : first.second;
        EXPECT_EQ(assistant->obtainAvailableModels(), ModelList({}, later)) << status << " " << body;
        EXPECT_EQ(server.requestCount(), 2u);
    }
}

INSTANTIATE_TEST_SUITE_P(Both, ModelPages, testing::ValuesIn(pagingProviders()),
                         [](const testing::TestParamInfo<Paging>& row) {
                             return std::string(row.param.provider.name);
                         });
