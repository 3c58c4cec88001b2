#pragma once
// Model lists that come in pages: one GET per page, each later request naming
// the page it continues from, until the provider says the list has ended.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "cf/CMRest.h"
#include "cf/COJson.h"
#include "transport/qai_http.h"

/// How one provider pages its model list.
struct QAIModelPaging {
    /// Array member of a page that holds the models, and the member that
    /// identifies a model within it.
    std::string_view itemsMember;
    std::string_view idMember;
    /// Token asking for the page after root; empty when root is the last page.
    std::string (*nextPageToken)(const COJsonValue& root);
    /// Query parameter that carries the token.
    std::string_view tokenQuery;
    /// Request suffix of the texts the library words for this list.
    std::string_view failureSuffix;
};

/// A provider that keeps answering "more" ends here all the same.
inline constexpr int32_t kQAIMaxModelPages = 50;

/// Checks one page's reply: its failure text, or none when its root is valid
/// and holds the items array.
using QAIModelPageCheck = std::function<std::optional<std::string>(const HTTPResult& result)>;
/// Takes one item of a page that passed its check.
using QAIModelItemTake = std::function<void(const COJsonValue& item)>;

/// GETs url with query, then again with the page token appended while pages
/// follow. Items whose id an earlier page listed are not taken again; a page
/// that lists no new id ends the list, as does the page limit. Returns the
/// first failing page's text (the list is then incomplete and to be dropped);
/// a later page that fails without a text of its own gives "Invalid response",
/// so that an incomplete list never passes for an empty one.
std::optional<std::string> qaiObtainModelPages(CMRestSession* session, const std::string& url,
                                               const HTTPParams& query, const QAIModelPaging& paging,
                                               const QAIModelPageCheck& check, const QAIModelItemTake& take);
