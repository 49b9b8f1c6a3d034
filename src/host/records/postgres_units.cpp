#include "host/records/postgres_units.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>

#include "base/text.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

// The advisory locks that make two stations' reservations of one field take turns: their class
// ("hidu"), and one key per field, a hash of its name (two fields that share one merely wait).
constexpr int32_t kLockClass = 0x68696475;
// A list is looked at in windows of its values, from at least this many (or four blocks) up to
// the largest, each twice the one before, so that a list of any length costs few round trips.
constexpr size_t kSmallestWindow = 256;
constexpr size_t kLargestWindow = 65536;
// A reservation whose candidates another writer took without the lock (one that knows no lock:
// a hand-made INSERT) is tried again, a few times.
constexpr int kAttempts = 8;

int32_t field_key(const std::string &field) {
    uint32_t hash = 2166136261u;
    for (const unsigned char c : field) {
        hash = (hash ^ c) * 16777619u;
    }
    return static_cast<int32_t>(hash);
}

// A text inside SQL sent without parameters: its UTF-8 bytes in hex, which no client encoding
// and no setting of standard_conforming_strings can read as anything but data. In the
// database's collation, as the column's index is: convert_from's own (that of its `name`
// argument, "C") would keep the index out of every look-up.
std::string text_sql(const std::string &text) {
    std::string hex;
    for (const unsigned char c : text) {
        hex += base::format("%02x", c);
    }
    return "(convert_from(decode('" + hex + "', 'hex'), 'UTF8') COLLATE \"default\")";
}

// SQL of a template whose {name}s are replaced by their values.
std::string filled(const char *sql, const std::map<std::string, std::string> &values) {
    std::string out;
    for (const char *at = sql; *at != '\0'; at++) {
        const char *close = *at == '{' ? std::strchr(at, '}') : nullptr;
        const auto it = close != nullptr ? values.find(std::string(at + 1, close)) : values.end();
        if (it == values.end()) {
            out += *at;
            continue;
        }
        out += it->second;
        at = close;
    }
    return out;
}

// The values [FROM, TO) as an array's text, {1,2,3}.
std::string array_text(const std::vector<uint64_t> &list, size_t from, size_t to) {
    std::string values = "{";
    for (size_t i = from; i < to; i++) {
        values += (i == from ? "" : ",") + std::to_string(list[i]);
    }
    return values + "}";
}

// Reservations and returns are sent as the simple protocol's several statements, which the
// server runs as one transaction: the field's lock first, then the statement, with a snapshot
// taken after the lock (so it sees every reservation and return committed before it). The lock
// goes with the transaction's end.
std::string locked(const std::string &field, const std::string &statement) {
    return base::format("SELECT pg_advisory_xact_lock(%d, %d);", kLockClass, field_key(field)) +
           statement;
}

// The lowest COUNT free values of a range. The search starts at the range's floor (every value
// below it is reserved, see hidiap_unit_floors) and finds the gaps from the rows reserved
// after it: the start when free, then each value after a reserved one that is not reserved
// itself, up to COUNT of them, each gap ending before the next reserved value; so no more than
// COUNT values are ever made, and what is read is the rows between the floor and the values
// found. The floor is raised past the values taken (to the range's end when it has no more).
// Its row: how many candidates there were, and the numbers taken ("," between).
constexpr const char *kRangeReservation =
    "WITH start AS (SELECT greatest({first}, coalesce((SELECT floor FROM hidiap_unit_floors"
    "  WHERE field = {field} AND range_first = {first}), {first})) AS a),"
    " starts AS (SELECT s FROM ("
    "  SELECT a AS s FROM start WHERE a <= {last} AND NOT EXISTS (SELECT 1 FROM"
    "   hidiap_unit_values WHERE field = {field} AND number = (SELECT a FROM start))"
    "  UNION ALL"
    "  (SELECT u.number + 1 FROM hidiap_unit_values u WHERE u.field = {field}"
    "   AND u.number >= (SELECT a FROM start) AND u.number < {last}"
    "   AND NOT EXISTS (SELECT 1 FROM hidiap_unit_values w WHERE w.field = {field}"
    "    AND w.number = u.number + 1)"
    "   ORDER BY u.number LIMIT {count})) AS g ORDER BY s LIMIT {count}),"
    " gaps AS (SELECT s, coalesce((SELECT min(v.number) FROM hidiap_unit_values v"
    "  WHERE v.field = {field} AND v.number > s AND v.number <= {last}) - 1, {last}) AS e"
    "  FROM starts),"
    " candidates AS (SELECT n FROM gaps, generate_series(s, s + least({count} - 1, e - s)) AS n"
    "  ORDER BY n LIMIT {count}),"
    " taken AS (INSERT INTO hidiap_unit_values (field, number, station)"
    "  SELECT {field}, n, {station} FROM candidates ON CONFLICT DO NOTHING RETURNING number),"
    " raised AS (INSERT INTO hidiap_unit_floors (field, range_first, floor)"
    "  SELECT {field}, {first}, CASE WHEN count(*) < {count} OR max(n) >= {last} THEN {last}"
    "   ELSE max(n) + 1 END FROM candidates"
    "  ON CONFLICT (field, range_first) DO UPDATE"
    "   SET floor = greatest(hidiap_unit_floors.floor, excluded.floor))"
    " SELECT (SELECT count(*) FROM candidates), NULL,"
    "  (SELECT string_agg(number::text, ',' ORDER BY number) FROM taken)";

// The first COUNT free values of a window of a list, in its order. Its row: how many were free,
// the (1-based) place in the window of the last of them, and the numbers taken in the list's
// order.
constexpr const char *kListReservation =
    "WITH w AS (SELECT n, i FROM unnest('{values}'::bigint[]) WITH ORDINALITY AS t(n, i)),"
    " free AS (SELECT n, i FROM w WHERE NOT EXISTS (SELECT 1 FROM hidiap_unit_values v"
    "  WHERE v.field = {field} AND v.number = w.n) ORDER BY i LIMIT {count}),"
    " taken AS (INSERT INTO hidiap_unit_values (field, number, station)"
    "  SELECT {field}, n, {station} FROM free ON CONFLICT DO NOTHING RETURNING number)"
    " SELECT (SELECT count(*) FROM free), (SELECT max(i) FROM free),"
    "  (SELECT string_agg(t.number::text, ',' ORDER BY (SELECT min(f.i) FROM free f"
    "   WHERE f.n = t.number)) FROM taken t)";

// The station's own rows of the values go, and every floor above one of them comes down to it.
constexpr const char *kReturn =
    "WITH gone AS (DELETE FROM hidiap_unit_values WHERE field = {field} AND station = {station}"
    "  AND number = ANY('{values}'::bigint[]) RETURNING number)"
    " UPDATE hidiap_unit_floors f SET floor = (SELECT min(number) FROM gone"
    "  WHERE number >= f.range_first AND number < f.floor)"
    " WHERE f.field = {field} AND EXISTS (SELECT 1 FROM gone"
    "  WHERE number >= f.range_first AND number < f.floor)";

std::string range_reservation(const UnitSeries &s, uint64_t count, const std::string &station) {
    return filled(kRangeReservation, {{"field", text_sql(s.field)},
                                      {"first", std::to_string(s.first)},
                                      {"last", std::to_string(s.last)},
                                      {"count", std::to_string(count)},
                                      {"station", text_sql(station)}});
}

std::string list_reservation(const UnitSeries &s, size_t from, size_t to, size_t count,
                             const std::string &station) {
    return filled(kListReservation, {{"field", text_sql(s.field)},
                                     {"values", array_text(s.list, from, to)},
                                     {"count", std::to_string(count)},
                                     {"station", text_sql(station)}});
}

bool number_of(const std::string &text, uint64_t &n) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    n = std::stoull(text);
    return true;
}

// What a reservation's row says.
struct Reply {
    uint64_t candidates = 0;
    uint64_t last_place = 0;  // lists: the window's place of the last free value
    std::vector<uint64_t> taken;
};

base::Result<Reply> reply_of(const base::Result<SqlRows> &rows) {
    if (!rows.ok()) {
        return rows.error();
    }
    const Error odd(ErrorCode::Corrupt, "the server's answer to a reservation is not one row");
    if (rows->size() != 1 || (*rows)[0].size() != 3 || !(*rows)[0][0]) {
        return odd;
    }
    const SqlRow &row = (*rows)[0];
    Reply r;
    if (!number_of(*row[0], r.candidates) || (row[1] && !number_of(*row[1], r.last_place))) {
        return odd;
    }
    const std::string numbers = row[2].value_or("");
    for (size_t at = 0; at < numbers.size();) {
        const size_t end = std::min(numbers.find(',', at), numbers.size());
        uint64_t n = 0;
        if (!number_of(numbers.substr(at, end - at), n)) {
            return odd;
        }
        r.taken.push_back(n);
        at = end + 1;
    }
    return r;
}

// The refusals a station can mend, with their remedies.
Error explained(const Error &e, PostgresLink &link) {
    const std::string role = link.role();
    if (e.code() == ErrorCode::PermissionDenied) {
        return Error(e.code(),
                     "role '" + role + "' may not reserve unit values (" + e.message() +
                         "): the database's owner can GRANT SELECT, INSERT, DELETE ON "
                         "hidiap_unit_values TO " +
                         role + "; GRANT SELECT, INSERT, UPDATE ON hidiap_unit_floors TO " + role);
    }
    if (e.code() == ErrorCode::NotFound) {
        return Error(e.code(), "the database has no table of unit values (" + e.message() +
                                   "): run 'hidiap records setup URI' as the database's owner");
    }
    return e;
}

// A reservation that failed after part of it was committed gives that part back when it still
// can: otherwise those values stay reserved (gaps), never handed out twice.
Error failed_after(PostgresLink &link, const std::string &field,
                   const std::vector<uint64_t> &committed, const std::string &station,
                   const Error &why) {
    if (!committed.empty() && link.connected()) {
        (void)postgres_return_units(link, field, committed, station);
    }
    return explained(why, link);
}

base::Result<std::vector<uint64_t>> reserve_range(PostgresLink &link, const UnitSeries &s,
                                                  size_t count, const std::string &station) {
    // No more than the range holds, and a number a bigint can hold.
    const uint64_t wanted =
        std::min<uint64_t>({count - 1, s.last - s.first, uint64_t{INT64_MAX} - 1}) + 1;
    std::vector<uint64_t> taken;
    for (int attempt = 0; taken.size() < wanted && attempt < kAttempts; attempt++) {
        const base::Result<Reply> r = reply_of(
            link.run(locked(s.field, range_reservation(s, wanted - taken.size(), station))));
        if (!r.ok()) {
            return failed_after(link, s.field, taken, station, r.error());
        }
        taken.insert(taken.end(), r->taken.begin(), r->taken.end());
        if (r->taken.size() == r->candidates) {
            break;  // every candidate is ours: the block is full, or the range has no more
        }
    }
    std::sort(taken.begin(), taken.end());
    return taken;
}

// Reserves up to COUNT free values of the list's [FROM, TO), window after window, into TAKEN;
// END: the index before which every value is reserved (TO when fewer were found).
base::Status reserve_in_list(PostgresLink &link, const UnitSeries &s, size_t from, size_t to,
                             size_t count, const std::string &station, std::vector<uint64_t> &taken,
                             size_t &end) {
    const size_t goal = taken.size() + count;
    size_t window =
        std::min(std::max(4 * std::min(count, kLargestWindow), kSmallestWindow), kLargestWindow);
    size_t at = from;
    end = to;
    while (at < to && taken.size() < goal) {
        const size_t stop = std::min(to, at + window);
        const size_t need = goal - taken.size();
        const base::Result<Reply> r =
            reply_of(link.run(locked(s.field, list_reservation(s, at, stop, need, station))));
        if (!r.ok()) {
            return r.error();
        }
        taken.insert(taken.end(), r->taken.begin(), r->taken.end());
        // Every value up to the last free one is reserved now (by us, or by whoever was first).
        at = r->candidates == need ? at + r->last_place : stop;
        if (taken.size() == goal) {
            end = at;
        }
        window = std::min(window * 2, kLargestWindow);
    }
    return {};
}

base::Result<std::vector<uint64_t>> reserve_list(PostgresLink &link, const UnitSeries &s,
                                                 size_t count, const std::string &station,
                                                 ListMarks &marks) {
    const size_t mark = marks.start(s);
    std::vector<uint64_t> ahead;
    size_t end = 0;
    if (base::Status walked =
            reserve_in_list(link, s, mark, s.list.size(), count, station, ahead, end);
        !walked.ok()) {
        return failed_after(link, s.field, ahead, station, walked.error());
    }
    if (ahead.size() == count || mark == 0) {
        marks.passed(s, end);
        return ahead;
    }
    // The rest of the list did not fill the block: values given back behind the mark count too.
    std::vector<uint64_t> behind;
    size_t behind_end = 0;
    if (base::Status walked =
            reserve_in_list(link, s, 0, mark, count - ahead.size(), station, behind, behind_end);
        !walked.ok()) {
        behind.insert(behind.end(), ahead.begin(), ahead.end());
        return failed_after(link, s.field, behind, station, walked.error());
    }
    marks.passed(s, behind.size() + ahead.size() == count ? behind_end : s.list.size());
    behind.insert(behind.end(), ahead.begin(), ahead.end());
    return behind;
}

}  // namespace

base::Result<std::vector<uint64_t>> postgres_reserve_units(PostgresLink &link,
                                                           const UnitSeries &series, size_t count,
                                                           const std::string &station,
                                                           ListMarks &marks) {
    if (base::Status usable = check_unit_series(series); !usable.ok()) {
        return usable.error();
    }
    if (count == 0 || (series.is_list && series.list.empty())) {
        return std::vector<uint64_t>{};
    }
    return series.is_list ? reserve_list(link, series, count, station, marks)
                          : reserve_range(link, series, count, station);
}

base::Status postgres_return_units(PostgresLink &link, const std::string &field,
                                   const std::vector<uint64_t> &numbers,
                                   const std::string &station) {
    if (numbers.empty()) {
        return {};
    }
    const base::Result<SqlRows> gone = link.run(
        locked(field, filled(kReturn, {{"field", text_sql(field)},
                                       {"station", text_sql(station)},
                                       {"values", array_text(numbers, 0, numbers.size())}})));
    if (!gone.ok()) {
        return explained(gone.error(), link);
    }
    return {};
}

base::Result<std::optional<uint64_t>> postgres_next_free_unit(PostgresLink &link,
                                                              const UnitSeries &series) {
    if (base::Status usable = check_unit_series(series); !usable.ok()) {
        return usable.error();
    }
    const auto answer = [&](const base::Result<SqlRows> &rows) -> base::Result<SqlValue> {
        if (!rows.ok()) {
            return explained(rows.error(), link);
        }
        if (rows->size() != 1 || (*rows)[0].size() != 1) {
            return Error(ErrorCode::Corrupt,
                         "the server's answer about a unit value is not one row");
        }
        return (*rows)[0][0];
    };
    if (!series.is_list) {
        // From the range's floor, as a reservation looks.
        const base::Result<SqlValue> first = answer(link.run(
            "WITH start AS (SELECT greatest($2::bigint, coalesce((SELECT floor FROM "
            "hidiap_unit_floors WHERE field = $1 AND range_first = $2::bigint), $2::bigint)) AS a) "
            "SELECT CASE WHEN (SELECT a FROM start) > $3::bigint THEN NULL WHEN NOT EXISTS "
            "(SELECT 1 FROM hidiap_unit_values WHERE field = $1 AND number = (SELECT a FROM "
            "start)) THEN (SELECT a FROM start) ELSE (SELECT u.number + 1 FROM "
            "hidiap_unit_values u WHERE u.field = $1 AND u.number >= (SELECT a FROM start) AND "
            "u.number < $3::bigint AND NOT EXISTS (SELECT 1 FROM hidiap_unit_values w WHERE "
            "w.field = $1 AND w.number = u.number + 1) ORDER BY u.number LIMIT 1) END",
            {SqlValue(series.field), SqlValue(std::to_string(series.first)),
             SqlValue(std::to_string(series.last))}));
        if (!first.ok()) {
            return first.error();
        }
        uint64_t n = 0;
        if (*first && !number_of(**first, n)) {
            return Error(ErrorCode::Corrupt, "the server gave '" + **first + "' for a unit value");
        }
        return *first ? std::optional<uint64_t>(n) : std::nullopt;
    }
    size_t window = kSmallestWindow;
    for (size_t at = 0; at < series.list.size();) {
        const size_t stop = std::min(series.list.size(), at + window);
        const base::Result<SqlValue> place = answer(link.run(
            "SELECT min(i) FROM unnest($2::bigint[]) WITH ORDINALITY AS t(n, i) WHERE NOT EXISTS "
            "(SELECT 1 FROM hidiap_unit_values v WHERE v.field = $1 AND v.number = t.n)",
            {SqlValue(series.field), SqlValue(array_text(series.list, at, stop))}));
        if (!place.ok()) {
            return place.error();
        }
        uint64_t i = 0;
        if (*place && (!number_of(**place, i) || i == 0 || i > stop - at)) {
            return Error(ErrorCode::Corrupt,
                         "the server gave '" + **place + "' for a place in a list");
        }
        if (*place) {
            return std::optional<uint64_t>(series.list[at + i - 1]);
        }
        at = stop;
        window = std::min(window * 2, kLargestWindow);
    }
    return std::optional<uint64_t>();
}

}  // namespace host
