// The SQLite store: one file, prepared statements kept for the life of the connection.
#include <sqlite3.h>

#include <map>

#include "store.h"

namespace ulv::fleet {
namespace {

class SqliteStore final : public Store {
public:
    explicit SqliteStore(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw StoreError("cannot open " + path + ": " + message);
        }
        // Another ingest may hold the write lock for a batch: wait for it, do not fail.
        sqlite3_busy_timeout(db_, 30000);
        // WAL lets summaries read while an ingest writes; NORMAL syncs at checkpoints only,
        // which loses at most the last batches on a power cut, never the file.
        Script("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON");
    }
    ~SqliteStore() override {
        for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
        sqlite3_close(db_);
    }

    void Script(const std::string& sql) override {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error ? error : sqlite3_errmsg(db_);
            sqlite3_free(error);
            throw StoreError("sqlite: " + message);
        }
    }

    int64_t Run(const std::string& sql, const Params& params) override {
        sqlite3_stmt* statement = Bound(sql, params);
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        }
        sqlite3_reset(statement);
        if (rc != SQLITE_DONE) throw StoreError("sqlite: " + std::string(sqlite3_errmsg(db_)));
        return sqlite3_changes64(db_);
    }

    Rows Query(const std::string& sql, const Params& params) override {
        sqlite3_stmt* statement = Bound(sql, params);
        Rows rows;
        int rc;
        const int columns = sqlite3_column_count(statement);
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            Row row(static_cast<size_t>(columns));
            for (int i = 0; i < columns; ++i) {
                const unsigned char* text = sqlite3_column_text(statement, i);
                if (text)
                    row[static_cast<size_t>(i)] =
                        std::string(reinterpret_cast<const char*>(text),
                                    static_cast<size_t>(sqlite3_column_bytes(statement, i)));
            }
            rows.push_back(std::move(row));
        }
        sqlite3_reset(statement);
        if (rc != SQLITE_DONE) throw StoreError("sqlite: " + std::string(sqlite3_errmsg(db_)));
        return rows;
    }

    const char* Kind() const override { return "sqlite"; }
    void Optimize() override { Script("PRAGMA optimize"); }

private:
    sqlite3_stmt* Bound(const std::string& sql, const Params& params) {
        sqlite3_stmt*& statement = statements_[sql];
        if (!statement &&
            sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                               SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
            statements_.erase(sql);
            throw StoreError("sqlite: " + std::string(sqlite3_errmsg(db_)) + " in: " + sql);
        }
        sqlite3_clear_bindings(statement);
        for (size_t i = 0; i < params.size(); ++i) {
            const std::string name = "$" + std::to_string(i + 1);
            const int index = sqlite3_bind_parameter_index(statement, name.c_str());
            if (index == 0) continue;  // a parameter this statement does not use
            int rc = SQLITE_OK;
            if (const auto* number = std::get_if<int64_t>(&params[i]))
                rc = sqlite3_bind_int64(statement, index, *number);
            else if (const auto* text = std::get_if<std::string>(&params[i]))
                rc = sqlite3_bind_text(statement, index, text->data(),
                                       static_cast<int>(text->size()), SQLITE_TRANSIENT);
            else
                rc = sqlite3_bind_null(statement, index);
            if (rc != SQLITE_OK) throw StoreError("sqlite: " + std::string(sqlite3_errmsg(db_)));
        }
        return statement;
    }

    sqlite3* db_ = nullptr;
    std::map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(const std::string& path) {
    return std::make_unique<SqliteStore>(path);
}

}  // namespace ulv::fleet
