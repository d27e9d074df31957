// The PostgreSQL store, through libpq: statements are prepared once per connection, parameters
// go as text and the server infers their types from where they stand.
#include <libpq-fe.h>

#include <map>
#include <memory>

#include "store.h"

namespace ulv::fleet {
namespace {

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

class PostgresStore final : public Store {
public:
    explicit PostgresStore(const std::string& conninfo) : conn_(PQconnectdb(conninfo.c_str())) {
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
            std::string message = conn_ ? PQerrorMessage(conn_) : "out of memory";
            PQfinish(conn_);
            conn_ = nullptr;
            throw StoreError("cannot connect to PostgreSQL: " + Trimmed(message));
        }
        Script("SET client_min_messages = warning");
    }
    ~PostgresStore() override { PQfinish(conn_); }

    void Script(const std::string& sql) override {
        Result result(PQexec(conn_, sql.c_str()));
        Check(result.get(), sql);
    }

    int64_t Run(const std::string& sql, const Params& params) override {
        Result result = Execute(sql, params);
        const char* tuples = PQcmdTuples(result.get());
        return tuples && *tuples ? std::stoll(tuples) : 0;
    }

    Rows Query(const std::string& sql, const Params& params) override {
        Result result = Execute(sql, params);
        Rows rows;
        const int count = PQntuples(result.get());
        const int columns = PQnfields(result.get());
        rows.reserve(static_cast<size_t>(count));
        for (int r = 0; r < count; ++r) {
            Row row(static_cast<size_t>(columns));
            for (int c = 0; c < columns; ++c)
                if (!PQgetisnull(result.get(), r, c))
                    row[static_cast<size_t>(c)] = std::string(PQgetvalue(result.get(), r, c),
                                                              static_cast<size_t>(PQgetlength(result.get(), r, c)));
            rows.push_back(std::move(row));
        }
        return rows;
    }

    const char* Kind() const override { return "postgresql"; }
    void Optimize() override { Script("ANALYZE"); }

private:
    static std::string Trimmed(std::string text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return text;
    }

    void Check(PGresult* result, const std::string& sql) {
        const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            throw StoreError("postgresql: " + Trimmed(PQerrorMessage(conn_)) + " in: " + sql);
    }

    Result Execute(const std::string& sql, const Params& params) {
        auto found = prepared_.find(sql);
        if (found == prepared_.end()) {
            const std::string name = "s" + std::to_string(prepared_.size());
            Result prepared(PQprepare(conn_, name.c_str(), sql.c_str(), 0, nullptr));
            Check(prepared.get(), sql);
            found = prepared_.emplace(sql, name).first;
        }
        std::vector<std::string> texts(params.size());
        std::vector<const char*> values(params.size(), nullptr);
        for (size_t i = 0; i < params.size(); ++i) {
            if (const auto* number = std::get_if<int64_t>(&params[i]))
                texts[i] = std::to_string(*number);
            else if (const auto* text = std::get_if<std::string>(&params[i]))
                texts[i] = *text;
            else
                continue;
            values[i] = texts[i].c_str();
        }
        Result result(PQexecPrepared(conn_, found->second.c_str(), static_cast<int>(values.size()),
                                     values.data(), nullptr, nullptr, 0));
        Check(result.get(), sql);
        return result;
    }

    PGconn* conn_;
    std::map<std::string, std::string> prepared_;
};

}  // namespace

std::unique_ptr<Store> OpenPostgresStore(const std::string& conninfo) {
    return std::make_unique<PostgresStore>(conninfo);
}

}  // namespace ulv::fleet
