// The substitute rest service that tests and fuzzing install in place of the
// network: who gets the requests, and that the built-in service comes back.
#include <gtest/gtest.h>

#include <memory>

#include "cf/CFAppFactory.h"
#include "cf/CMRest.h"

namespace {

/// Answers every request with a fixed status and counts the requests.
class CannedService final : public ICSRestService {
public:
    explicit CannedService(long replyStatus) : status(replyStatus) {}
    ICSRestExecutor* createExecutor(ICSAppFactory* /*factory*/, const CMRestGlobalSettings* /*settings*/,
                                    CMRestSession* /*session*/) override {
        return new Executor(*this);
    }
    long status;
    int requests = 0;

private:
    class Executor final : public ICSRestExecutor {
    public:
        explicit Executor(CannedService& service) : service_(service) {}
        int32_t executeGet(CMRestGetRequest* /*request*/, CMRestResourceResponse** response) override {
            return answer(response);
        }
        int32_t executePost(CMRestPostRequest* /*request*/, CMRestResourceResponse** response) override {
            return answer(response);
        }

    private:
        int32_t answer(CMRestResourceResponse** response) {
            ++service_.requests;
            *response = new CMRestResourceResponse(service_.status, "{}");
            return 0;
        }
        CannedService& service_;
    };
};

/// Status of a GET run through whatever service the factory hands out now.
long statusOfGet() {
    ICSAppFactory* factory = CF::obtainAppFactory();
    CMRestSession session;
    const std::unique_ptr<ICSRestExecutor> executor(
        factory->obtainRestService()->createExecutor(factory, nullptr, &session));
    CMRestGetRequest request;
    request.tag = kCMRestRequestTag;
    request.setURL("http://127.0.0.1:1/unreachable");
    CMRestResourceResponse* raw = nullptr;
    executor->executeGet(&request, &raw);
    const std::unique_ptr<CMRestResourceResponse> response(raw);
    return response ? response->obtainHTTPStatus() : -1;
}

TEST(RestServiceTest, InstalledServiceTakesTheRequestsUntilTheBuiltInOneIsRestored) {
    ICSRestService* const builtIn = CF::obtainAppFactory()->obtainRestService();
    CannedService first(201), second(202);

    EXPECT_EQ(CF::installRestService(&first), nullptr);  // nothing installed before
    EXPECT_EQ(CF::obtainAppFactory()->obtainRestService(), &first);
    EXPECT_EQ(statusOfGet(), 201);

    EXPECT_EQ(CF::installRestService(&second), &first);  // replacing hands the old one back
    EXPECT_EQ(statusOfGet(), 202);
    EXPECT_EQ(first.requests, 1);
    EXPECT_EQ(second.requests, 1);

    EXPECT_EQ(CF::installRestService(nullptr), &second);
    EXPECT_EQ(CF::obtainAppFactory()->obtainRestService(), builtIn);
    EXPECT_EQ(CF::installRestService(nullptr), nullptr);  // restoring twice changes nothing
    // The built-in service reaches the network again: nothing listens there.
    EXPECT_EQ(statusOfGet(), -1);
    EXPECT_EQ(first.requests + second.requests, 2);
}

}  // namespace
