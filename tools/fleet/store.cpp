#include "store.h"

#include <charconv>

namespace ulv::fleet {

std::unique_ptr<Store> OpenStore(const std::string& db) {
    std::unique_ptr<Store> store = db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0
                                       ? OpenPostgresStore(db)
                                       : OpenSqliteStore(db);
    Migrate(*store);
    return store;
}

int Migrate(Store& store) {
    store.Script(
        "CREATE TABLE IF NOT EXISTS schema_migrations ("
        " version INTEGER PRIMARY KEY, name TEXT NOT NULL)");
    int current = 0;
    for (const Row& row : store.Query("SELECT MAX(version) FROM schema_migrations"))
        current = static_cast<int>(CellInt(row[0]));
    const std::vector<Migration>& migrations = Migrations();
    const int newest = migrations.empty() ? 0 : migrations.back().version;
    if (current > newest)
        throw StoreError("the store's schema version " + std::to_string(current) +
                         " is newer than this program's (" + std::to_string(newest) + ")");
    for (const Migration& migration : migrations) {
        if (migration.version <= current) continue;
        InTransaction(store, [&] {
            store.Script(migration.sql);
            store.Run("INSERT INTO schema_migrations (version, name) VALUES ($1, $2)",
                      {int64_t{migration.version}, std::string(migration.name)});
        });
        current = migration.version;
    }
    return current;
}

int64_t CellInt(const Cell& cell) {
    if (!cell || cell->empty()) return 0;
    int64_t value = 0;
    const char* end = cell->data() + cell->size();
    const auto [at, error] = std::from_chars(cell->data(), end, value);
    if (error == std::errc() && at == end) return value;
    // Sums come back from PostgreSQL as numeric, which may carry a fraction ("12.0").
    return static_cast<int64_t>(std::stold(*cell));
}

std::string CellText(const Cell& cell) { return cell ? *cell : std::string(); }

}  // namespace ulv::fleet
