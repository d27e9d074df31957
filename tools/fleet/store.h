// The fleet store: one small interface over SQLite (a file, nothing to start) and PostgreSQL
// (a server shared by a team). Both run the same SQL: parameters are written $1, $2, ... in
// order of first use (SQLite reads "$1" as a named parameter), and the schema and queries keep
// to what both dialects share (ON CONFLICT, integer arithmetic, no date functions: times are
// stored as seconds since 1970 and days as whole days since 1970).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace ulv::fleet {

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using Param = std::variant<std::monostate, int64_t, std::string>;  // monostate: NULL
using Params = std::vector<Param>;
using Cell = std::optional<std::string>;  // NULL or the value as text
using Row = std::vector<Cell>;
using Rows = std::vector<Row>;

class Store {
public:
    virtual ~Store() = default;
    // Runs a script of one or more statements without parameters.
    virtual void Script(const std::string& sql) = 0;
    // Runs one statement; returns the number of rows it inserted, changed or deleted.
    virtual int64_t Run(const std::string& sql, const Params& params = {}) = 0;
    // Runs one query; every cell comes back as text (NULL as nullopt).
    virtual Rows Query(const std::string& sql, const Params& params = {}) = 0;
    virtual const char* Kind() const = 0;  // "sqlite" or "postgresql"
    // Refreshes the planner's statistics after a large change (an ingest).
    virtual void Optimize() = 0;
};

// Opens "postgresql://..." / "postgres://..." with libpq, anything else as a SQLite file, and
// brings its schema up to the newest migration. Throws StoreError.
std::unique_ptr<Store> OpenStore(const std::string& db);

std::unique_ptr<Store> OpenSqliteStore(const std::string& path);
std::unique_ptr<Store> OpenPostgresStore(const std::string& conninfo);

// The schema migrations built into the program, oldest first (migrations/NNNN_name.sql).
struct Migration {
    int version;
    const char* name;
    const char* sql;
};
const std::vector<Migration>& Migrations();
// Applies every migration newer than the store's schema version, each in its own transaction,
// and returns the version the store is at. A store newer than this program is refused.
int Migrate(Store& store);

// Integer value of a cell (0 for NULL).
int64_t CellInt(const Cell& cell);
std::string CellText(const Cell& cell);

// Runs `body` in one transaction; rolls back and rethrows when it throws.
template <typename F>
void InTransaction(Store& store, F&& body) {
    store.Script("BEGIN");
    try {
        body();
    } catch (...) {
        try {
            store.Script("ROLLBACK");
        } catch (...) {
        }
        throw;
    }
    store.Script("COMMIT");
}

}  // namespace ulv::fleet
