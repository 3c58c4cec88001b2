#pragma once
#include <cstdint>
#include <string>

#include "cf/CMRest.h"
#include "cf/cf_export.h"

class CODateTime;
class ICSAppFactory;

/// Runs requests synchronously over one session with one set of settings.
/// Returns 0 only for a completed exchange with an HTTP status below 400.
/// Any other outcome returns a non-zero code for ICSErrorDescriber; for an
/// HTTP status of 400 or more the response is handed over all the same.
class CF_API ICSRestExecutor {
public:
    virtual ~ICSRestExecutor();
    virtual int32_t executeGet(CMRestGetRequest* request, CMRestResourceResponse** response) = 0;
    virtual int32_t executePost(CMRestPostRequest* request, CMRestResourceResponse** response) = 0;
    /// executePost whose reply body may go to receiver piece by piece (see
    /// ICSRestStreamReceiver); a body it declines is collected into the
    /// response as executePost does. The whole-request limit then bounds the
    /// wait for the receiver's first progress, and only progress resets the
    /// stall clock once the body flows. A receiver's stop fails the request
    /// in the "cancelled" domain. This default runs executePost and offers
    /// nothing to the receiver.
    virtual int32_t executePostStreaming(CMRestPostRequest* request, ICSRestStreamReceiver* receiver,
                                         CMRestResourceResponse** response);
};

class CF_API ICSRestService {
public:
    virtual ~ICSRestService();
    /// New executor; the caller deletes it. settings and session must outlive it.
    virtual ICSRestExecutor* createExecutor(ICSAppFactory* factory, const CMRestGlobalSettings* settings,
                                            CMRestSession* session) = 0;
};

/// What ICSErrorDescriber reports of a code.
struct CF_API CMErrorRecord {
    std::string domain;   ///< "http", "transport" or "request"
    std::string message;  ///< plain-English description
    void* context = nullptr;
};

class CF_API ICSErrorDescriber {
public:
    virtual ~ICSErrorDescriber();
    /// Fills record with the description of a code returned on this thread.
    virtual void describe(int32_t code, CMErrorRecord& record) = 0;
};

class CF_API ICSErrorService {
public:
    virtual ~ICSErrorService();
    virtual ICSErrorDescriber* obtainErrorDescriber() = 0;
};

/// Converts a CODateTime to integer seconds since the epoch.
class CF_API ICSDateTimeConverter {
public:
    virtual ~ICSDateTimeConverter();
    /// offsetSeconds is added to the UTC value.
    virtual int64_t obtainSeconds(const CODateTime* dateTime, int32_t offsetSeconds) = 0;
};

class CF_API ICSDateTimeService {
public:
    virtual ~ICSDateTimeService();
    /// New converter; the caller deletes it.
    virtual ICSDateTimeConverter* createDateTimeConverter() = 0;
};

/// The process-wide application factory.
class CF_API ICSAppFactory {
public:
    virtual ~ICSAppFactory();
    virtual ICSRestService* obtainRestService() = 0;
    virtual ICSErrorService* obtainErrorService() = 0;
    virtual ICSDateTimeService* obtainDateTimeService() = 0;
};

namespace CF {
/// The process-wide factory; never null, never deleted by callers.
CF_API ICSAppFactory* obtainAppFactory();
/// For tests and fuzzing only: makes the factory hand out service instead of
/// the built-in rest service, so requests never reach the network; null
/// restores the built-in one. Returns the service installed before (null for
/// the built-in one). The caller keeps service alive while installed; not
/// synchronised with requests that are running.
CF_API ICSRestService* installRestService(ICSRestService* service);
}  // namespace CF
