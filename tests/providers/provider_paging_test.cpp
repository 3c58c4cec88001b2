// Model lists in pages (Anthropic's has_more/last_id, Google's nextPageToken),
// one table row per provider: what the server was asked, page by page, and
// the list the host got back.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "provider_fixture.h"

using namespace qai_test;
using qai::test::CannedReply;
using qai::test::TestServer;

namespace {

/// One model on a page: its id and a creation date ("YYYY-MM-DD").
struct Model {
    std::string id, created;
};
using Models = std::vector<Model>;
using Names = std::vector<std::string>;

struct PagedProvider {
    const char* name;
    QAIAssistantType type;
    std::string path;
    std::string firstTarget;  // the first request, exactly as without paging
    std::string tokenQuery;
    std::string modelsSuffix;  // of the texts the library words for the list
    /// A page in the provider's documented shape, ending in the members tail.
    std::string (*page)(const Models& models, const std::string& tail);
    /// The members by which a page asks for the one after it.
    std::string (*more)(const std::string& token);
    /// Tails that end the list, however much they look like more; the first is the documented one.
    std::vector<std::string> endings;
    /// The recorded documented reply as a page that always says "more" (Google's
    /// with a token added), and what it lists.
    std::string (*endlessPage)();
    Names endlessModels;
    /// Tokens of the three-page walk's first two pages, and the walk's whole list
    /// (Anthropic's newest first over all pages, Google's in reply order).
    std::string firstToken, secondToken;
    Names threePages;
};
void PrintTo(const PagedProvider& provider, std::ostream* out) { *out << provider.name; }

std::string anthropicPage(const Models& models, const std::string& tail) {
    std::string data;
    for (const Model& model : models)
        data += std::string(data.empty() ? "" : ",") + R"({"created_at":")" + model.created +
                R"(T00:00:00Z","display_name":"Model )" + model.id + R"(","id":")" + model.id +
                R"(","type":"model"})";
    const std::string first = models.empty() ? "" : models.front().id;
    return R"({"data":[)" + data + R"(],"first_id":")" + first + "\"," + tail + "}";
}

std::string googlePage(const Models& models, const std::string& tail) {
    std::string list;
    for (const Model& model : models)
        list += std::string(list.empty() ? "" : ",") + R"({"name":"models/)" + model.id +
                R"(","version":"001","displayName":")" + model.id +
                R"(","supportedGenerationMethods":["generateContent","countTokens"]})";
    return R"({"models":[)" + list + "]" + (tail.empty() ? "" : "," + tail) + "}";
}

std::string anthropicMore(const std::string& token) {
    return R"("has_more":true,"last_id":")" + token + "\"";
}
std::string googleMore(const std::string& token) { return R"("nextPageToken":")" + token + "\""; }
std::string anthropicEndless() { return qai::test::readFixture("anthropic_models.json"); }
std::string googleEndless() {
    return R"({"nextPageToken":"again",)" + qai::test::readFixture("google_models.json").substr(1);
}

const Models kPage1 = {{"a", "2024-01-10"}, {"b", "2025-03-01"}};
// "b" again: a page may overlap the one before, and the list still holds it once.
const Models kPage2 = {{"b", "2025-03-01"}, {"c", "2026-01-05"}, {"d", "2023-05-20"}};
const Models kPage3 = {{"e", "2025-01-01"}};

const std::vector<PagedProvider>& pagedProviders() {
    static const std::vector<PagedProvider> rows = {
        PagedProvider(
            "Anthropic", QAIAssistantType_ANTHROPIC, "/v1/models", "/v1/models", "after_id", ": g/v1/models",
            anthropicPage,
            anthropicMore,
            {R"("has_more":false,"last_id":"x")", R"("has_more":"true","last_id":"x")", R"("has_more":true)",
             R"("has_more":true,"last_id":"")", R"("has_more":true,"last_id":5)"},
            anthropicEndless, {"claude-sonnet-4-20250514"}, "b", "d", Names{"c", "b", "e", "a", "d"}),
        PagedProvider("Google", QAIAssistantType_GOOGLE, "/v1beta/models", "/v1beta/models?key=k",
                      "pageToken", ": g/v1beta/models", googlePage, googleMore,
                      {"", R"("nextPageToken":"")", R"("nextPageToken":7)", R"("nextPageToken":null)"},
                      googleEndless, {"gemini-pro"}, "Cg+tok/1=", "tok 2&x", Names{"a", "b", "c", "d", "e"}),
    };
    return rows;
}

using ModelList = std::pair<std::vector<std::string>, std::string>;

class ModelPages : public testing::TestWithParam<PagedProvider> {};

}  // namespace

TEST_P(ModelPages, FollowTheTokenFromAnUnchangedFirstRequestAndSortTheWholeList) {
    const PagedProvider& p = GetParam();
    TestServer server;
    server.replyOnce("GET", p.path, CannedReply(200, p.page(kPage1, p.more(p.firstToken))));
    server.replyOnce("GET", p.path, CannedReply(200, p.page(kPage2, p.more(p.secondToken))));
    server.replyOnce("GET", p.path, CannedReply(200, p.page(kPage3, p.endings.front())));
    AssistantPtr assistant = createAssistant(p.type, server.url(), "k");

    EXPECT_EQ(assistant->obtainAvailableModels(), ModelList(p.threePages, ""));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].target, p.firstTarget);
    EXPECT_EQ(requests[1].get_param_value(p.tokenQuery), p.firstToken);
    EXPECT_EQ(requests[2].get_param_value(p.tokenQuery), p.secondToken);
    for (const auto& request : requests) {
        EXPECT_EQ(request.path, p.path);
        // Every page carries the credentials of the first.
        EXPECT_EQ(p.type == QAIAssistantType_GOOGLE ? request.get_param_value("key") : request.get_header_value("x-api-key"),
                  "k");
    }

    // Whatever a last page looks like, it is asked for once.
    for (const std::string& ending : p.endings) {
        server.clearRequests();
        server.replyOnce("GET", p.path, CannedReply(200, p.page({{"x", "2025-01-01"}}, ending)));
        EXPECT_EQ(assistant->obtainAvailableModels(), ModelList({"x"}, "")) << ending;
        EXPECT_EQ(server.requestCount(), 1u) << ending;
    }
}

TEST_P(ModelPages, ServerThatNeverEndsStopsWithoutDuplicates) {
    const PagedProvider& p = GetParam();
    TestServer server;
    AssistantPtr assistant = createAssistant(p.type, server.url(), "k");

    // The same page forever: asked for twice, listed once, after a first page that differs.
    server.replyOnce("GET", p.path,
                     CannedReply(200, p.page({{"first", "2026-12-01"}}, p.more(p.firstToken))));
    server.reply("GET", p.path, 200, p.endlessPage());
    Names expected = p.endlessModels;
    expected.insert(expected.begin(), "first");  // the newest, and the first in reply order
    EXPECT_EQ(assistant->obtainAvailableModels(), ModelList(expected, ""));
    EXPECT_EQ(server.requestCount(), 3u);

    // A page without models adds nothing new either.
    server.clearRequests();
    server.replyOnce("GET", p.path, CannedReply(200, p.page({}, p.more(p.firstToken))));
    EXPECT_EQ(assistant->obtainAvailableModels(), ModelList({}, ""));
    EXPECT_EQ(server.requestCount(), 1u);

    // New models on every page: the page limit ends the list.
    server.clearRequests();
    for (int i = 0; i < 60; ++i)
        server.replyOnce("GET", p.path,
                         CannedReply(200, p.page({{std::to_string(i), "2025-01-01"}}, p.more("t"))));
    const auto [models, error] = assistant->obtainAvailableModels();
    EXPECT_EQ(error, "");
    EXPECT_EQ(models.size(), 50u);
    EXPECT_EQ(server.requestCount(), 50u);
}

TEST_P(ModelPages, LaterPageFailureFailsTheWholeCallWithThatPagesText) {
    const PagedProvider& p = GetParam();
    TestServer server;
    AssistantPtr assistant = createAssistant(p.type, server.url(), "k");
    const std::pair<int, std::string> failures[] = {
        {500, R"({"error":{"message":"overloaded"}})"},
        {200, R"({"error":{"message":"denied"}})"},
        {200, R"({"page":[]})"},
        {200, "not json"},
        {404, ""},
    };
    for (const auto& [status, body] : failures) {
        // The text a failing first page gives...
        server.replyOnce("GET", p.path, CannedReply(status, body));
        const ModelList first = assistant->obtainAvailableModels();
        EXPECT_TRUE(first.first.empty()) << body;

        // ...is the whole call's text when the second page fails, and no list comes back. Where
        // the first page's text is empty, a later page says "Invalid response" instead: an
        // incomplete list must not pass for an empty one.
        server.clearRequests();
        server.replyOnce("GET", p.path, CannedReply(200, p.page(kPage1, p.more(p.firstToken))));
        server.replyOnce("GET", p.path, CannedReply(status, body));
        const std::string later = first.second.empty() ? "Invalid response" + p.modelsSuffix : first.second;
        EXPECT_EQ(assistant->obtainAvailableModels(), ModelList({}, later)) << status << " " << body;
        EXPECT_EQ(server.requestCount(), 2u);
    }
    // A provider's own message is never lost to an empty text.
    server.replyOnce("GET", p.path, CannedReply(200, p.page(kPage1, p.more(p.firstToken))));
    server.replyOnce("GET", p.path, CannedReply(500, R"({"error":{"message":"overloaded"}})"));
    EXPECT_EQ(assistant->obtainAvailableModels().second, "overloaded");
}

INSTANTIATE_TEST_SUITE_P(Both, ModelPages, testing::ValuesIn(pagedProviders()),
                         [](const testing::TestParamInfo<PagedProvider>& row) { return row.param.name; });
