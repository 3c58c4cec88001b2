// The qai program end to end: the built binary against the local provider
// test server posing as each protocol, and against databases made here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_runner.h"
#include "test_server.h"

#if defined(QAI_CLI_SQLITE)
#include <sqlite3.h>
#endif

namespace {

using qai::test::CannedReply;
using qai::test::readFile;
using qai::test::runQai;
using qai::test::setVariable;
using qai::test::TempDir;
using qai::test::TestServer;
using qai::test::writeFile;

const std::string kSmallSchema =
    R"([{"schemas":[{"schema_name":"s","tables":[{"name":"t","fields":[{"name":"id","type":"int"}],)"
    R"("pkeys":["id"]}],"views":[{"name":"v","fields":[{"name":"id","type":"int"}]}]}]}])";

struct Protocol {
    const char* provider;
    const char* keyVariable;  // "" for none
    const char* chatPath;
    const char* streamType;
    std::string stream;  // a streamed reply of "SELECT 1;" in two pieces, 11 tokens in, 2 out
    const char* modelsPath;
    const char* modelsReply;
    const char* keyEvidence;  // where the key shows in the request ("" for none)
    const char* stopWord;     // the provider's own word for the end of a turn
};

const Protocol kProtocols[] = {
    {"openai", "OPENAI_API_KEY", "/v1/chat/completions", "text/event-stream",
     "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":\"SELECT\"}}]}\n\n"
     "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":\" 1;\"},\"finish_reason\":\"stop\"}],"
     "\"usage\":{\"prompt_tokens\":11,\"completion_tokens\":2}}\n\ndata: [DONE]\n\n",
     "/v1/models",
     R"({"data":[{"id":"m-old","object":"model","created":1},{"id":"m-new","object":"model","created":2}]})",
     "Authorization", "stop"},
    {"anthropic", "ANTHROPIC_API_KEY", "/v1/messages", "text/event-stream",
     "event: message_start\ndata: "
     "{\"type\":\"message_start\",\"message\":{\"usage\":{\"input_tokens\":11}}}\n\n"
     "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":0,"
     "\"delta\":{\"type\":\"text_delta\",\"text\":\"SELECT\"}}\n\n"
     "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":0,"
     "\"delta\":{\"type\":\"text_delta\",\"text\":\" 1;\"}}\n\n"
     "event: message_delta\ndata: {\"type\":\"message_delta\",\"delta\":{\"stop_reason\":\"end_turn\"},"
     "\"usage\":{\"output_tokens\":2}}\n\nevent: message_stop\ndata: {\"type\":\"message_stop\"}\n\n",
     "/v1/models",
     R"({"data":[{"type":"model","id":"m-new","created_at":"2025-06-01T00:00:00Z"},)"
     R"({"type":"model","id":"m-old","created_at":"2024-01-01T00:00:00Z"}]})",
     "x-api-key", "end_turn"},
    {"google", "GEMINI_API_KEY", "/v1beta/models/m-new:streamGenerateContent", "text/event-stream",
     "data: {\"candidates\":[{\"content\":{\"role\":\"model\",\"parts\":[{\"text\":\"SELECT\"}]}}]}\n\n"
     "data: {\"candidates\":[{\"content\":{\"role\":\"model\",\"parts\":[{\"text\":\" 1;\"}]},"
     "\"finishReason\":\"STOP\"}],\"usageMetadata\":{\"promptTokenCount\":11,\"candidatesTokenCount\":2}}"
     "\n\n",
     "/v1beta/models",
     R"({"models":[{"name":"models/m-new","supportedGenerationMethods":["generateContent"]},)"
     R"({"name":"models/m-old","supportedGenerationMethods":["generateContent"]}]})",
     "key", "STOP"},
    {"ollama", "", "/api/chat", "application/x-ndjson",
     "{\"message\":{\"role\":\"assistant\",\"content\":\"SELECT\"},\"done\":false}\n"
     "{\"message\":{\"role\":\"assistant\",\"content\":\" 1;\"},\"done\":true,\"done_reason\":\"stop\","
     "\"prompt_eval_count\":11,\"eval_count\":2}\n",
     "/api/tags", R"({"models":[{"name":"m-new"},{"name":"m-old"}]})", "", "stop"},
};

void PrintTo(const Protocol& protocol, std::ostream* out) { *out << protocol.provider; }

class CliProtocol : public ::testing::TestWithParam<Protocol> {};

// One streamed message with its usage, and the model list, through each
// protocol; Ollama's host is given without a scheme, as OLLAMA_HOST usually is.
TEST_P(CliProtocol, ChatsAndListsModels) {
    const Protocol& protocol = GetParam();
    TestServer server;
    CannedReply streamed(200, protocol.stream);
    streamed.contentType = protocol.streamType;
    server.reply("POST", protocol.chatPath, streamed);
    server.reply("GET", protocol.modelsPath, 200, protocol.modelsReply);
    TempDir dir(protocol.provider);
    writeFile(dir / "schema.json", kSmallSchema);
    if (*protocol.keyVariable) setVariable(protocol.keyVariable, "secret-key-1");
    std::string host = std::string(protocol.provider) == "ollama" ? server.url().substr(7) : server.url();

    auto chat =
        runQai({"chat", "--provider", protocol.provider, "--model", "m-new", "--host", host, "--schema",
                (dir / "schema.json").string(), "--temperature", "0.25", "--stats", "-m", "count the rows"},
               dir.path());
    EXPECT_EQ(chat.status, 0) << chat.err;
    EXPECT_EQ(chat.out, "SELECT 1;\n");
    EXPECT_EQ(chat.err,
              std::string("[tokens: 11 in, 2 out; stop: end of turn (") + protocol.stopWord + ")]\n");
    auto request = server.lastRequest();
    EXPECT_EQ(request.path, protocol.chatPath);
    EXPECT_NE(request.body.find("count the rows"), std::string::npos) << request.body;
    EXPECT_NE(request.body.find("0.25"), std::string::npos) << request.body;
    EXPECT_NE(request.body.find("CREATE TABLE `s`.`t` (`id` int, PRIMARY KEY(`id`))"), std::string::npos)
        << request.body;
    if (*protocol.keyEvidence) {
        std::string evidence =
            request.get_header_value(protocol.keyEvidence) + request.get_param_value(protocol.keyEvidence);
        EXPECT_NE(evidence.find("secret-key-1"), std::string::npos);
    }

    auto models = runQai({"models", "--provider", protocol.provider, "--host", host}, dir.path());
    EXPECT_EQ(models.status, 0) << models.err;
    EXPECT_EQ(models.out, "m-new\nm-old\n");
    if (*protocol.keyVariable) setVariable(protocol.keyVariable, "");
}

INSTANTIATE_TEST_SUITE_P(Protocols, CliProtocol, ::testing::ValuesIn(kProtocols),
                         [](const auto& param) { return std::string(param.param.provider); });

// A later run continues the conversation and its description kept in the
// history file, piped input sends one message a line, and a history that
// cannot be written is reported while the old file stays whole.
TEST(CliHistory, ContinuesAcrossRunsAndSurvivesAFailedWrite) {
    TestServer server;
    server.reply("POST", "/v1/chat/completions", 200,
                 R"({"choices":[{"message":{"role":"assistant","content":"line one\nline two"}}]})");
    TempDir dir("history");
    std::string history = (dir / "talk.history").string();
    setVariable("OPENAI_API_KEY", "k");
    std::vector<std::string> base = {"chat",   "--provider", "openai",    "--model", "m",
                                     "--host", server.url(), "--history", history};

    auto append = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = base;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    writeFile(dir / "schema.json", kSmallSchema);
    auto first =
        runQai(append({"--schema", (dir / "schema.json").string(), "-m", "first \\ question"}), dir.path());
    ASSERT_EQ(first.status, 0) << first.err;
    auto piped = runQai(base, dir.path(), "second\n\n   \nthird\n");
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, "line one\nline two\nline one\nline two\n");
    EXPECT_EQ(server.requestCount(), 3u);
    EXPECT_EQ(server.lastRequest().body,
              R"({"model":"m","messages":[{"role":"developer","content":"CREATE TABLE `s`.`t` (`id` int, )"
              R"(PRIMARY KEY(`id`))\nCREATE VIEW `s`.`v` (`id` int)\n\n"},)"
              R"({"role":"user","content":"first \\ question"},)"
              R"({"role":"assistant","content":"line one\nline two"},{"role":"user","content":"second"},)"
              R"({"role":"assistant","content":"line one\nline two"},{"role":"user","content":"third"}],)"
              R"("stream":true,"stream_options":{"include_usage":true}})");
    const std::string saved = readFile(history);
    EXPECT_EQ(saved,
              "qai-history 1\nsummary " + kSmallSchema +
                  "\nuser first \\\\ question\nassistant line one\\nline two\n"
                  "user second\nassistant line one\\nline two\nuser third\nassistant line one\\nline two\n");

    // The replacement file cannot be made: the reply still shows, the error
    // is one line, the status is not zero and the history keeps its content.
    std::filesystem::create_directory(history + ".tmp");
    auto blocked = runQai(append({"-m", "fourth"}), dir.path());
    EXPECT_EQ(blocked.status, 1);
    EXPECT_EQ(blocked.out, "line one\nline two\n");
    EXPECT_EQ(blocked.err.rfind("qai: cannot write history " + history + ": ", 0), 0u) << blocked.err;
    EXPECT_EQ(readFile(history), saved);
    setVariable("OPENAI_API_KEY", "");
}

// A passing server failure is retried twice unless --retries says otherwise.
TEST(CliRetries, DefaultTwoAndOption) {
    TestServer server;
    server.reply("POST", "/api/chat", 200, R"({"message":{"role":"assistant","content":"ok"}})");
    TempDir dir("retries");
    const std::vector<std::string> chat = {"chat",    "--provider", "ollama", "--host", server.url(),
                                           "--model", "m",          "-m",     "hi"};
    for (int i = 0; i < 2; ++i) server.replyOnce("POST", "/api/chat", CannedReply(503, "{}"));
    auto retried = runQai(chat, dir.path());
    EXPECT_EQ(retried.status, 0) << retried.err;
    EXPECT_EQ(retried.out, "ok\n");
    EXPECT_EQ(server.requestCount(), 3u);

    server.clearRequests();
    server.replyOnce("POST", "/api/chat", CannedReply(503, "{}"));
    std::vector<std::string> once = chat;
    once.insert(once.end(), {"--retries", "0"});
    auto failed = runQai(once, dir.path());
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err.rfind("qai: ", 0), 0u);
    EXPECT_EQ(failed.err.find('\n'), failed.err.size() - 1) << failed.err;
    EXPECT_EQ(server.requestCount(), 1u);
}

// Each failure a user meets first: one clear line on standard error and a
// status that is not zero.
TEST(CliErrors, OneClearLineEach) {
    TempDir dir("errors");
    writeFile(dir / "bad.json", "{not json");
    writeFile(dir / "object.json", R"({"tables": []})");
    writeFile(dir / "bad.history", "something else\n");
    writeFile(dir / "damaged.history", "qai-history 1\nuser ok\nuser bad \\x escape\n");
    writeFile(dir / "not-a-db.db", "plain text, not a database file at all, long enough to be read");
    writeFile(dir / "empty.key", "\n");
    TestServer server;
    std::string closed = "http://127.0.0.1:" + std::to_string(qai::test::unusedLocalPort());
    std::string missing = (dir / "missing.json").string();
    setVariable("OPENAI_API_KEY", "");
    setVariable("OLLAMA_HOST", "");
    const std::vector<std::string> chat = {"chat", "--model", "m", "-m", "hi", "--host", server.url()};
    auto with = [](std::vector<std::string> args, std::vector<std::string> extra) {
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };

    struct Case {
        std::vector<std::string> args;
        std::string error;  // the start of the one line
        int status = 1;
    };
    const Case cases[] = {
        {with(chat, {"--provider", "openai"}),
         "qai: no API key for openai: set OPENAI_API_KEY or use --api-key-file FILE"},
        {with(chat, {"--provider", "openai", "--api-key-file", (dir / "empty.key").string()}),
         "qai: API key file " + (dir / "empty.key").string() + " is empty"},
        {with(chat, {"--provider", "mistery"}),
         "qai: unknown provider 'mistery' (one of openai, google, deepseek, "
         "ollama, xai, anthropic, alibaba, bytedance)"},
        {{"models"}, "qai: no provider given: use --provider NAME"},
        {{"prompt", "--schema", missing}, "qai: cannot read " + missing + ": "},
        {{"prompt", "--schema", (dir / "bad.json").string()},
         "qai: " + (dir / "bad.json").string() + " is not a valid database description (not JSON)"},
        {{"prompt", "--schema", (dir / "object.json").string()},
         "qai: " + (dir / "object.json").string() +
             " is not a valid database description (expected a list of catalogs)"},
        {with(chat, {"--provider", "ollama", "--history", (dir / "bad.history").string()}),
         "qai: history " + (dir / "bad.history").string() + " is not a qai history file"},
        {with(chat, {"--provider", "ollama", "--history", (dir / "damaged.history").string()}),
         "qai: history " + (dir / "damaged.history").string() + " is damaged at line 3"},
        {{"models", "--provider", "ollama", "--host", closed}, "qai: "},
        {{"schema", (dir / "schema.json").string()},
         "qai: " + (dir / "schema.json").string() + " is not a database"},
        {{"chat", "--provider", "ollama", "--temperature", "3", "--model", "m", "-m", "x"},
         "qai: option --temperature needs a number from 0 to 2, not '3'"},
        {{"chat", "--provider", "ollama", "-m", "x"},
         "qai chat: needs --model MODEL (see qai chat --help)",
         2},
        {{"models", "--colour"}, "qai models: unknown option --colour (see qai models --help)", 2},
        {{"prompt", "--schema"}, "qai prompt: option --schema needs a value (see qai prompt --help)", 2},
        {{"frobnicate"}, "qai: unknown command 'frobnicate'", 2},
#if defined(QAI_CLI_SQLITE)
        {{"schema", (dir / "missing.db").string()},
         "qai: cannot open SQLite database " + (dir / "missing.db").string() +
             ": unable to open database file"},
        {{"schema", "sqlite:" + (dir / "not-a-db.db").string()},
         "qai: cannot read SQLite database " + (dir / "not-a-db.db").string() + ": file is not a database"},
#endif
    };
    for (const Case& c : cases) {
        auto result = runQai(c.args, dir.path());
        std::string context = c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : "");
        EXPECT_EQ(result.status, c.status) << context;
        EXPECT_EQ(result.err.rfind(c.error, 0), 0u) << context << ": " << result.err;
        // The one line; the unknown command is followed by the usage text.
        if (c.args[0] != "frobnicate") {
            EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << context << ": " << result.err;
        }
        EXPECT_EQ(result.out, "") << context;
    }
    EXPECT_EQ(server.requestCount(), 0u);
}

// Every command explains itself.
TEST(CliHelp, EveryCommand) {
    TempDir dir("help");
    for (std::string command : {"schema", "prompt", "models", "chat"}) {
        auto result = runQai({command, "--help"}, dir.path());
        EXPECT_EQ(result.status, 0) << command;
        EXPECT_EQ(result.out.rfind("usage: qai " + command, 0), 0u) << result.out;
    }
    auto top = runQai({"--help"}, dir.path());
    EXPECT_EQ(top.status, 0);
    EXPECT_NE(top.out.find("chat "), std::string::npos);
}

// The instructions of a description file, their size, and the warning for
// a description too large for common context windows.
TEST(CliPrompt, InstructionsStatsAndSizeWarning) {
    TempDir dir("prompt");
    writeFile(dir / "small.json", kSmallSchema);
    auto small = runQai({"prompt", "--schema", (dir / "small.json").string(), "--instructions", "Be brief.",
                         "--system", "b=Second.", "--system", "a=First.", "--stats"},
                        dir.path());
    EXPECT_EQ(small.status, 0) << small.err;
    const std::string expected =
        "Be brief.\n\nFirst.\nSecond.\nCREATE TABLE `s`.`t` (`id` int, PRIMARY KEY(`id`))\n"
        "CREATE VIEW `s`.`v` (`id` int)\n\n";
    EXPECT_EQ(small.out, expected);
    EXPECT_EQ(small.err, std::to_string(expected.size()) + " bytes, 7 lines, 1 tables, 1 views, about " +
                             std::to_string((expected.size() + 3) / 4) + " tokens\n");

    // 3000 tables of 50 wide columns: several hundred thousand tokens.
    std::string big = R"([{"schemas":[{"schema_name":"warehouse","tables":[)";
    std::string columns;
    for (int c = 0; c < 50; ++c)
        columns += std::string(c ? "," : "") + R"({"name":"measurement_column_)" + std::to_string(c) +
                   "\",\"type\":\"numeric(18,6)\"}";
    for (int t = 0; t < 3000; ++t)
        big += std::string(t ? "," : "") + R"({"name":"fact_table_)" + std::to_string(t) + R"(","fields":[)" +
               columns + "]}";
    writeFile(dir / "big.json", big + "]}]}]");
    auto large = runQai({"prompt", "--schema", (dir / "big.json").string(), "--stats"}, dir.path());
    EXPECT_EQ(large.status, 0) << large.err;
    EXPECT_NE(large.err.find("3000 tables, 0 views"), std::string::npos) << large.err;
    EXPECT_NE(large.err.find("qai: warning: about "), std::string::npos) << large.err;
    EXPECT_EQ(small.err.find("warning"), std::string::npos);
}

// The example database: its description as expected, rendered from the
// database exactly as from the description file.
TEST(CliSchema, ExampleDatabaseAsDescribed) {
    TempDir dir("example");
    const std::string expectedStructure = qai::test::readFixture("cli/shop_structure.json");
    writeFile(dir / "shop.json", expectedStructure);
    auto fromFile = runQai({"prompt", "--schema", (dir / "shop.json").string()}, dir.path());
    EXPECT_EQ(fromFile.status, 0) << fromFile.err;
    EXPECT_EQ(fromFile.out, qai::test::readFixture("cli/shop_prompt.txt"));
#if defined(QAI_CLI_SQLITE)
    std::string database = (dir / "shop.db").string();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
    const std::string sql = readFile(QAI_EXAMPLES "/shop.sql");
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);

    auto schema = runQai({"schema", database}, dir.path());
    EXPECT_EQ(schema.status, 0) << schema.err;
    EXPECT_EQ(schema.out, expectedStructure);
    auto direct = runQai({"prompt", "--schema", "sqlite:" + database}, dir.path());
    EXPECT_EQ(direct.out, fromFile.out);
#endif
}

}  // namespace
