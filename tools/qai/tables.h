#pragma once
// --tables: only the tables and views that matter. A foreign key to a table
// left out stays, so that the model still sees the reference.
#include <string>
#include <vector>

#include "structure.h"

namespace qai::cli {

class TableFilter {
public:
    /// values: lists of shell-style patterns (*, ?, [set], [!set]), separated by commas.
    explicit TableFilter(const std::vector<std::string>& values);

    /// True when there is no pattern (every table is kept) or one matches name or schema.name.
    bool keeps(const std::string& schema, const std::string& name) const;
    /// Leaves out the tables, views and materialized views no pattern matches.
    void keepIn(std::vector<Catalog>& catalogs) const;
    /// The same on a description JSON's text; text that is not a list of catalogs comes back as it is.
    std::string keepIn(const std::string& json) const;

private:
    std::vector<std::string> patterns_;
};

}  // namespace qai::cli
