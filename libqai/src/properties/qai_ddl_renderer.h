#pragma once
// The two ways of turning a database description into DDL text. The property
// store renders straight from the JSON text (fast path); the catalog-list
// path joins the lines of an already normalised list. Both give the same text.
#include <string>
#include <string_view>

#include "cf/CMVariant.h"

/// Appends the DDL text of json (a catalog array) to out, one line feed after
/// every line; nothing for text that is not a JSON array. When owner is given
/// (the string json views), it is emptied as soon as the text is parsed.
void qaiAppendDDLText(std::string& out, std::string_view json, std::string* owner = nullptr);

/// The normalised catalog list (see QAIAssistantProperties::obtainDBStructure) of json.
CMVariantList qaiObtainDBStructure(std::string_view json);

/// Joins the "instructions" lines of a normalised catalog list, each followed by a line feed.
std::string qaiObtainDDLTextFromStructure(const CMVariantList& catalogs);
