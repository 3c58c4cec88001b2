// The process-wide application factory and its thin services.
#include <atomic>

#include "cf/CFAppFactory.h"
#include "cf/CFText.h"
#include "cf_http_internal.h"

namespace {

class RestService final : public ICSRestService {
public:
    ICSRestExecutor* createExecutor(ICSAppFactory* /*factory*/, const CMRestGlobalSettings* settings,
                                    CMRestSession* session) override {
        return cf_internal::createRestExecutor(settings, session);
    }
};

class ErrorService final : public ICSErrorService {
public:
    ICSErrorDescriber* obtainErrorDescriber() override { return cf_internal::obtainErrorDescriber(); }
};

class DateTimeConverter final : public ICSDateTimeConverter {
public:
    int64_t obtainSeconds(const CODateTime* dateTime, int32_t offsetSeconds) override {
        if (dateTime == nullptr) return 0;
        return dateTime->obtainEpochSeconds() + offsetSeconds;
    }
};

class DateTimeService final : public ICSDateTimeService {
public:
    ICSDateTimeConverter* createDateTimeConverter() override { return new DateTimeConverter(); }
};

class AppFactory final : public ICSAppFactory {
public:
    ICSRestService* obtainRestService() override {
        ICSRestService* substitute = substitute_.load(std::memory_order_acquire);
        return substitute != nullptr ? substitute : &rest_;
    }
    ICSErrorService* obtainErrorService() override { return &errors_; }
    ICSDateTimeService* obtainDateTimeService() override { return &dates_; }

    ICSRestService* installRestService(ICSRestService* service) {
        return substitute_.exchange(service, std::memory_order_acq_rel);
    }

private:
    RestService rest_;
    std::atomic<ICSRestService*> substitute_{nullptr};
    ErrorService errors_;
    DateTimeService dates_;
};

AppFactory* theFactory() {
    // Never destroyed: callers may still use it from other static destructors.
    static AppFactory* const factory = new AppFactory();
    return factory;
}

}  // namespace

namespace CF {
ICSAppFactory* obtainAppFactory() { return theFactory(); }

ICSRestService* installRestService(ICSRestService* service) {
    return theFactory()->installRestService(service);
}
}  // namespace CF
