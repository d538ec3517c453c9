#pragma once
// Named parameters (:P0, :d1) become the positional markers that the client's DSQL takes.
#include <string>
#include <string_view>
#include <vector>

struct TPositionalSql {
    std::string Text;                // the statement with every parameter replaced by '?'
    std::vector<std::string> Names;  // parameter names in text order ("?" for a bare marker)
};

// String literals, quoted identifiers and comments are copied unchanged; a colon starts a name
// only when a letter or '_' follows it.
TPositionalSql ToPositionalSql(std::string_view sql);
