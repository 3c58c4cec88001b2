#include "providers/qai_model_pages.h"

#include <set>
#include <vector>

#include "transport/qai_response.h"

std::optional<std::string> qaiObtainModelPages(CMRestSession* session, const std::string& url,
                                               const HTTPParams& query, const QAIModelPaging& paging,
                                               const QAIModelPageCheck& check, const QAIModelItemTake& take) {
    std::set<std::string, std::less<>> listed;  // ids of earlier pages
    HTTPParams pageQuery = query;
    for (int32_t page = 0; page < kQAIMaxModelPages; ++page) {
        const HTTPResult result = HTTP::Get(session, url, pageQuery, {});
        if (std::optional<std::string> failure = check(result)) {
            if (failure->empty() && page > 0)
                return qaiComposeError(kQAIInvalidResponse, paging.failureSuffix);
            return failure;
        }

        const COJsonValue root = qaiValidRoot(result.response.get());
        const COJsonValue items = root.obtainMember(paging.itemsMember);
        // A page's ids join `listed` once the page is read: an id a page repeats
        // is taken as the provider sent it, an id of an earlier page is not.
        std::vector<std::string_view> ids;
        for (int32_t i = 0; i < items.obtainArraySize(); ++i) {
            const COJsonValue item = items.obtainArrayItem(i);
            const COJsonValue id = item.obtainMember(paging.idMember);
            if (id.obtainType() == COJsonTypeString) {
                if (listed.contains(id.obtainStringView())) continue;
                ids.push_back(id.obtainStringView());
            }
            take(item);
        }
        // A provider that repeats itself adds nothing: stop rather than loop.
        if (ids.empty()) break;
        for (std::string_view id : ids) listed.emplace(id);

        const std::string token = paging.nextPageToken(root);
        if (token.empty()) break;
        pageQuery = query;
        pageQuery.emplace_back(paging.tokenQuery, token);
    }
    return std::nullopt;
}
