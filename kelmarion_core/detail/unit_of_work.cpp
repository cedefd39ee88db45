#include "kelmarion_core/detail/unit_of_work.h"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <functional>

#include "kelmarion_core/detail/sql_value.h"
#include "kelmarion_core/detail/value_key.h"
#include "kelmarion_core/errors.h"

namespace kelmarion::core::detail {

struct LookupTerm {
  std::size_t field;
  SqlValue converted;  // empty for a text given for a text field
  const nlohmann::ordered_json* given;
};

namespace {

// Parents whose scopes one read brings: the parent looked under and the
// siblings a save walks next.
constexpr std::size_t window_parents = 256;
// Known records kept in scopes before the least recently used scopes are let
// go: a few windows' worth, so that memory does not grow with the schema.
constexpr std::size_t scoped_record_limit = 1U << 14U;
// Queued rows that make the next awaited call flush first.
constexpr std::size_t flush_rows = 4096;
constexpr std::size_t first_block = 32;
constexpr std::size_t largest_block = 8192;

std::uint64_t bit(std::size_t field) { return std::uint64_t{1} << field; }

// The mask of the fields `condition`'s terms compare, each checked to be a
// field of `record_class`.
std::uint64_t term_mask(const RecordClass& record_class, const Condition& condition) {
  std::uint64_t mask = 0;
  for (const auto& term : condition.terms()) {
    const auto index = record_class.field_index(term->field_name);
    if (term->table_name != record_class.table_name() || !index) {
      throw Error(fmt::format("lookup on '{}' with a predicate on '{}.{}'",
                              record_class.table_name(), term->table_name, term->field_name));
    }
    mask |= bit(*index);
  }
  return mask;
}

std::size_t combine(std::size_t hash, std::size_t more) { return hash * 1000003U ^ more; }

// The hash of the cells of `mask`, combined in field order.
std::size_t cells_hash(const RecordClass& record_class, const RowImage& image, std::uint64_t mask) {
  std::size_t hash = 0;
  for (std::size_t i = 0; i < record_class.fields().size(); ++i) {
    if ((mask & bit(i)) != 0) hash = combine(hash, cell_hash(record_class, image, i));
  }
  return hash;
}

// A lookup's terms as the values they compare with, in field order.
struct Wanted {
  using Term = LookupTerm;
  // Kept by the caller and reused: most lookups have two or three terms.
  std::vector<Term>& terms;
  std::uint64_t mask = 0;
  bool contradictory = false;  // two terms on one field want different values

  Wanted(const RecordClass& record_class, const Condition& condition, std::vector<Term>& scratch)
      : terms(scratch) {
    terms.clear();
    for (const auto& term : condition.terms()) {
      const auto field = *record_class.field_index(term->field_name);
      const auto& spec = record_class.fields()[field];
      auto converted =
          spec.kind == FieldKind::text && term->value.is_string()
              ? SqlValue{}
              : to_sql_value(record_class.table_name(), spec.name, spec.kind, term->value);
      // In field order, stable: an insertion into a list this short.
      auto at = terms.end();
      while (at != terms.begin() && std::prev(at)->field > field) --at;
      terms.insert(at, Term{field, std::move(converted), &term->value});
    }
    for (std::size_t i = 1; i < terms.size();) {
      if (terms[i].field != terms[i - 1].field) {
        ++i;
        continue;
      }
      const auto& a = terms[i - 1];
      const auto& b = terms[i];
      const auto kind = record_class.fields()[b.field].kind;
      const bool same = kind == FieldKind::json   ? json_key(*a.given) == json_key(*b.given)
                        : kind == FieldKind::text ? to_sql_value("", "", kind, *a.given) ==
                                                        to_sql_value("", "", kind, *b.given)
                                                  : a.converted == b.converted;
      contradictory = contradictory || !same;
      terms.erase(terms.begin() + static_cast<std::ptrdiff_t>(i));
    }
    for (const auto& term : terms) mask |= bit(term.field);
  }

  [[nodiscard]] std::size_t hash(const RecordClass& record_class) const {
    std::size_t combined = 0;
    for (const auto& term : terms) {
      combined = combine(combined, given_hash({record_class.fields()[term.field].kind,
                                               term.converted, *term.given}));
    }
    return combined;
  }

  [[nodiscard]] bool matches(const RecordClass& record_class, const RowImage& image) const {
    return std::all_of(terms.begin(), terms.end(), [&](const Term& term) {
      return cell_equals(record_class, image, term.field,
                         {record_class.fields()[term.field].kind, term.converted, *term.given});
    });
  }
};

const RowImage& image_of(const Record& record) {
  const auto* image = record.image();
  if (image == nullptr) {
    throw Error(fmt::format("record of '{}' was not read from a store",
                            record.record_class().table_name()));
  }
  return *image;
}

void set_cell(RowImage& image, std::size_t field, const SqlValue& value) {
  if (const auto* integer = std::get_if<std::int64_t>(&value)) {
    image.set_integer(field, *integer);
  } else if (const auto* text = std::get_if<std::string>(&value)) {
    image.set_text(field, *text);
  } else {
    image.set_null(field);
  }
}

void copy_cell(RowImage& to, const RowImage& from, std::size_t field) {
  switch (from.kind(field)) {
    case RowImage::CellKind::null:
      to.set_null(field);
      break;
    case RowImage::CellKind::integer:
      to.set_integer(field, from.integer(field));
      break;
    case RowImage::CellKind::text:
      to.set_text(field, from.text(field));
      break;
  }
}

std::optional<std::int64_t> link_value(const RowImage& image, std::size_t field) {
  if (image.kind(field) != RowImage::CellKind::integer) return std::nullopt;
  return image.integer(field);
}

// The parent `image` names by its first parent link that holds a value.
ParentRef parent_of(const RecordClass& record_class, const RowImage& image) {
  for (const auto& link : record_class.parent_links()) {
    if (const auto parent = link_value(image, *record_class.field_index(link.field))) {
      return ParentRef{link.parent_table, *parent};
    }
  }
  return {};
}

// The document value of a cell, or its raw text when the store holds JSON this
// side cannot read (nested too deep): an update then corrects it.
nlohmann::ordered_json cell_json(const RecordClass& record_class, const RowImage& image,
                                 std::size_t field) {
  switch (image.kind(field)) {
    case RowImage::CellKind::null:
      return nullptr;
    case RowImage::CellKind::integer:
      if (record_class.fields()[field].kind == FieldKind::boolean) return image.integer(field) != 0;
      return image.integer(field);
    case RowImage::CellKind::text:
      try {
        return from_stored_text(record_class, image, field);
      } catch (const DatabaseError&) {
        return std::string(image.text(field));
      }
  }
  return nullptr;
}

// Whether the given value differs from the stored cell; a stored value that
// cannot be read counts as different, so that the write repairs it.
bool differs(const RecordClass& record_class, const RowImage& stored, std::size_t field,
             const nlohmann::ordered_json& given) {
  const auto& spec = record_class.fields()[field];
  // A value that does not fit its field throws here, before anything is queued.
  const auto converted = spec.kind == FieldKind::text && given.is_string()
                             ? SqlValue{}
                             : to_sql_value(record_class.table_name(), spec.name, spec.kind, given);
  try {
    return !cell_equals(record_class, stored, field, {spec.kind, converted, given});
  } catch (const DatabaseError&) {
    return true;
  }
}

void by_identifier(std::vector<Record>& records) {
  // Sorted as (identifier, position) pairs: a record's identifier is read from
  // its image, and moving records moves their shared state.
  std::vector<std::pair<std::int64_t, std::size_t>> order;
  order.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) order.emplace_back(records[i].id(), i);
  std::sort(order.begin(), order.end());
  std::vector<Record> sorted;
  sorted.reserve(records.size());
  for (const auto& [id, at] : order) sorted.push_back(std::move(records[at]));
  records = std::move(sorted);
}

template <typename T>
void erase_value(std::vector<T>& list, const T& value) {
  list.erase(std::remove(list.begin(), list.end(), value), list.end());
}

}  // namespace

// What the unit of work holds for one record class.
struct UnitOfWork::Class {
  explicit Class(const RecordClass& described) : record_class(&described) {}

  const RecordClass* record_class;
  std::unordered_map<std::int64_t, Record> known;

  // Queued writes.
  std::vector<Record> inserts;
  std::unordered_map<std::int64_t, std::size_t> insert_at;
  std::map<std::int64_t, std::pair<Record, std::uint64_t>> updates;
  std::vector<std::int64_t> deletes;

  // Identifiers reserved, in blocks of increasing identifiers.
  struct Block {
    std::vector<std::int64_t> ids;
    std::size_t next = 0;
  };
  std::vector<Block> blocks;
  std::size_t block_size = first_block;
  // Per (link field, block of the parent class): whether stored records refer
  // to the block's identifiers.
  std::map<std::pair<std::size_t, std::size_t>, bool> refers_to_block;

  // Where each record touched stands in the change set.
  std::unordered_map<std::int64_t, std::size_t> changed_at;
  std::unordered_set<std::int64_t> unchanged;

  [[nodiscard]] std::size_t ids_left() const {
    return blocks.empty() ? 0 : blocks.back().ids.size() - blocks.back().next;
  }
  // The block that holds `id`, which was handed out, or nullopt.
  [[nodiscard]] std::optional<std::size_t> block_of(std::int64_t id) const {
    for (std::size_t b = blocks.size(); b-- > 0;) {
      const auto& ids = blocks[b].ids;
      const auto end = ids.begin() + static_cast<std::ptrdiff_t>(blocks[b].next);
      if (std::binary_search(ids.begin(), end, id)) return b;
    }
    return std::nullopt;
  }
};

std::size_t UnitOfWork::ScopeKeyHash::operator()(const ScopeKey& key) const noexcept {
  return (std::hash<const void*>()(key.record_class) * 31U + key.link) * 1000003U ^
         std::hash<std::int64_t>()(key.parent);
}

UnitOfWork::UnitOfWork(StoreConnection& connection, WriteMode mode, std::string location)
    : _connection(connection),
      _mode(mode),
      _location(std::move(location)),
      _begin_sql(
          connection.dialect() == Dialect::sqlite
              ? (mode != WriteMode::send ? "BEGIN" : "BEGIN IMMEDIATE")
              : (mode != WriteMode::send ? "BEGIN ISOLATION LEVEL REPEATABLE READ" : "BEGIN")) {}

UnitOfWork::~UnitOfWork() = default;

UnitOfWork::Class& UnitOfWork::_class(const RecordClass& record_class) {
  auto& state = _classes[&record_class];
  if (!state) state = std::make_unique<Class>(record_class);
  return *state;
}

bool UnitOfWork::_in_transaction() const { return _connection.in_transaction(); }

void UnitOfWork::_refuse_write(const RecordClass& record_class) const {
  if (_mode == WriteMode::send) return;
  if (_mode == WriteMode::rehearse) {
    if (_in_transaction()) return;
    throw ConfigurationError(
        fmt::format("store '{}', table '{}': a rehearsing session writes only inside a transaction",
                    _location, record_class.table_name()));
  }
  throw ConfigurationError(fmt::format("store '{}', table '{}': the store was opened read-only",
                                       _location, record_class.table_name()));
}

std::vector<std::int64_t> UnitOfWork::_rehearsal_block(std::size_t count) {
  std::vector<std::int64_t> ids(count);
  for (auto& id : ids) id = _rehearsed_ids++;
  return ids;
}

void UnitOfWork::_forget() {
  for (auto& [record_class, state] : _classes) {
    state = std::make_unique<Class>(*record_class);
  }
  _scopes.clear();
  _scope_order.clear();
  _scoped_records = 0;
  _released.clear();
  _locked.clear();
  _queued_rows = 0;
}

// Transactions.

asio::awaitable<void> UnitOfWork::begin() {
  co_await _connection.execute(_begin_sql);
  _forget();
  _changes.clear();
}

asio::awaitable<void> UnitOfWork::commit() {
  co_await flush();
  _forget();
  co_await _connection.execute("COMMIT");
}

asio::awaitable<void> UnitOfWork::rollback() {
  _forget();
  _changes.clear();
  co_await _connection.execute("ROLLBACK");
}

asio::awaitable<void> UnitOfWork::lock(std::string_view key) {
  if (!_in_transaction() || _locked.contains(key)) co_return;
  co_await _connection.lock(key);
  _locked.emplace(key);
}

asio::awaitable<void> UnitOfWork::execute(std::string_view sql) {
  co_await flush();
  _forget();
  co_await _connection.execute(sql);
}

asio::awaitable<void> UnitOfWork::_begin_alone() {
  co_await _connection.execute(_begin_sql);
  _alone = true;
}

asio::awaitable<void> UnitOfWork::_abandon_alone() {
  if (!_alone) co_return;
  _alone = false;
  _forget();
  try {
    co_await _connection.execute("ROLLBACK");
  } catch (const Error&) {
    // The failure that ended the write is the one to report.
  }
}

asio::awaitable<void> UnitOfWork::_after_write() {
  if (_alone) {
    _alone = false;
    co_await commit();
  } else if (_queued_rows >= flush_rows) {
    co_await flush();
  }
}

// Reads.

std::optional<UnitOfWork::ScopeKey> UnitOfWork::_scope_of(const RecordClass& record_class,
                                                          const Condition& condition) const {
  for (const auto& term : condition.terms()) {
    if (!term->value.is_number_integer()) continue;
    for (const auto& link : record_class.parent_links()) {
      if (link.field == term->field_name) {
        return ScopeKey{&record_class, *record_class.field_index(link.field),
                        term->value.get<std::int64_t>()};
      }
    }
  }
  return std::nullopt;
}

asio::awaitable<std::optional<Record>> UnitOfWork::find_first(const RecordClass& record_class,
                                                              const Condition& condition) {
  (void)term_mask(record_class, condition);
  // Inserts are plain calls and cannot send the queue: the lookup before them does.
  if (_queued_rows >= flush_rows) co_await flush();
  const auto lock_field = record_class.lock_field();
  if (!lock_field.empty()) {
    for (const auto& term : condition.terms()) {
      if (term->field_name == lock_field && term->value.is_string()) {
        co_await lock(term->value.get_ref<const std::string&>());
      }
    }
  }
  std::optional<Record> found;
  if (const auto key = _scope_of(record_class, condition)) {
    co_await _complete(*key);
    found = _match(*key, condition);
  } else {
    co_await flush();
    auto records = co_await _connection.select(record_class, condition);
    if (!records.empty()) found = _know(records.front());
  }
  // The insert that usually follows a lookup that found nothing takes an
  // identifier reserved here, so that it need not wait for the server.
  if (!found && _in_transaction() && _mode != WriteMode::refuse) {
    auto& state = _class(record_class);
    if (state.ids_left() == 0) co_await _reserve_ahead(state);
  }
  if (!_in_transaction()) _forget();
  co_return found;
}

asio::awaitable<std::vector<Record>> UnitOfWork::find_all(const RecordClass& record_class,
                                                          const Condition& condition) {
  (void)term_mask(record_class, condition);
  co_await flush();
  co_return co_await _connection.select(record_class, condition);
}

asio::awaitable<std::vector<Record>> UnitOfWork::find_by_ids(const RecordClass& record_class,
                                                             const std::vector<std::int64_t>& ids) {
  if (ids.empty()) co_return std::vector<Record>{};
  co_await flush();
  std::vector<Record> rehearsed;
  std::vector<std::int64_t> stored;
  if (_mode == WriteMode::rehearse) {
    // The store never saw what a rehearsal created: those records are here.
    const auto& state = _class(record_class);
    for (const auto id : ids) {
      const auto known = state.known.find(id);
      if (known != state.known.end() && _created_here(record_class, id)) {
        rehearsed.push_back(known->second);
      } else {
        stored.push_back(id);
      }
    }
  }
  const auto& wanted = _mode == WriteMode::rehearse ? stored : ids;
  // The identifier is field 0: the records whose "link" to themselves is listed.
  std::vector<Record> records;
  if (!wanted.empty()) records = co_await _connection.select_children(record_class, 0, wanted);
  records.insert(records.end(), rehearsed.begin(), rehearsed.end());
  by_identifier(records);
  co_return records;
}

asio::awaitable<UnitOfWork::Scope*> UnitOfWork::_new_parent_scope(const ScopeKey& key) {
  if (!_in_transaction() || _released.contains(key)) co_return nullptr;
  const auto& link = key.record_class->fields()[key.link];
  const RecordClass* parent_class = nullptr;
  for (const auto& parent_link : key.record_class->parent_links()) {
    if (parent_link.field == link.name) parent_class = find_record_class(parent_link.parent_table);
  }
  if (parent_class == nullptr || !_created_here(*parent_class, key.parent)) co_return nullptr;
  auto& parents = _class(*parent_class);
  const auto block = parents.block_of(key.parent);
  if (!block) co_return nullptr;
  auto& state = _class(*key.record_class);
  const std::pair checked_key{key.link, *block};
  auto checked = state.refers_to_block.find(checked_key);
  if (checked == state.refers_to_block.end()) {
    // Nothing stops a record stored apart from this transaction from naming an
    // identifier before it was handed out: then the new parent has records.
    co_await flush();
    const bool refers =
        co_await _connection.refers_to_any(*key.record_class, key.link, parents.blocks[*block].ids);
    checked = state.refers_to_block.emplace(checked_key, refers).first;
  }
  if (checked->second) co_return nullptr;
  auto& scope = _open_scope(key);
  scope.unchecked = false;
  co_return &scope;
}

asio::awaitable<void> UnitOfWork::_complete(const ScopeKey& key) {
  if (const auto found = _scopes.find(key); found != _scopes.end() && !found->second.unchecked) {
    // Used again: the last to be let go.
    _scope_order.splice(_scope_order.end(), _scope_order, found->second.at);
    co_return;
  }
  if (co_await _new_parent_scope(key) != nullptr) co_return;
  // Stored records refer to the new parent after all: the store answers.
  _close_scope(key, false);
  co_await flush();
  const auto window = _window_from(key);
  auto records = co_await _connection.select_children(*key.record_class, key.link, window);
  by_identifier(records);  // each then goes to the end of its scope
  for (const auto parent : window) {
    _open_scope(ScopeKey{key.record_class, key.link, parent});
    _released.erase(ScopeKey{key.record_class, key.link, parent});
  }
  for (const auto& record : records) _know(record);
  _close_oldest_scopes();
}

std::vector<std::int64_t> UnitOfWork::_window_from(const ScopeKey& key) {
  std::vector<std::int64_t> window{key.parent};
  if (!_in_transaction()) return window;
  const auto& link_name = key.record_class->fields()[key.link].name;
  const RecordClass* parent_class = nullptr;
  for (const auto& link : key.record_class->parent_links()) {
    if (link.field == link_name) parent_class = find_record_class(link.parent_table);
  }
  if (parent_class == nullptr) return window;
  // The siblings after the parent, nearest first; those whose scope is held
  // need no read.
  const auto add = [&](auto first, auto last) {
    for (; first != last && window.size() < window_parents; ++first) {
      if (!_scopes.contains(ScopeKey{key.record_class, key.link, *first})) window.push_back(*first);
    }
  };
  // The parent's siblings are the records of its own scope, while it is held.
  auto& parents = _class(*parent_class);
  if (const auto parent = parents.known.find(key.parent); parent != parents.known.end()) {
    const auto& image = image_of(parent->second);
    for (const auto& link : parent_class->parent_links()) {
      const auto field = *parent_class->field_index(link.field);
      const auto grandparent = link_value(image, field);
      if (!grandparent) continue;
      const auto siblings = _scopes.find(ScopeKey{parent_class, field, *grandparent});
      if (siblings == _scopes.end()) continue;
      const auto& ids = siblings->second.ids;
      add(std::upper_bound(ids.begin(), ids.end(), key.parent), ids.end());
      return window;
    }
  }
  // Let go since (a save's late walk over records it saved early): the records
  // of the parent's class this transaction touched are the siblings it walks.
  const auto* touched = _changes.find(parent_class->table_name());
  if (touched == nullptr) return window;
  std::vector<std::int64_t> after;
  const auto keep_after = [&](std::int64_t id) {
    if (id > key.parent) after.push_back(id);
  };
  for (const auto id : touched->created) keep_after(id);
  for (const auto id : touched->unchanged) keep_after(id);
  for (const auto& change : touched->changed) keep_after(change.id);
  // Only the nearest are sorted: this runs once per window read.
  const auto nearest =
      after.begin() + static_cast<std::ptrdiff_t>(std::min(after.size(), window_parents - 1));
  std::partial_sort(after.begin(), nearest, after.end());
  add(after.begin(), nearest);
  return window;
}

UnitOfWork::Scope& UnitOfWork::_open_scope(const ScopeKey& key) {
  auto [at, inserted] = _scopes.try_emplace(key);
  if (inserted) at->second.at = _scope_order.insert(_scope_order.end(), key);
  return at->second;
}

void UnitOfWork::_close_oldest_scopes() {
  // The store does not hold what a rehearsal wrote: nothing it knows may go.
  if (_mode == WriteMode::rehearse) return;
  while (_scoped_records > scoped_record_limit && _scope_order.size() > 1) {
    const auto oldest = _scope_order.front();
    _close_scope(oldest, true);
  }
}

void UnitOfWork::_close_scope(const ScopeKey& key, bool forget_records) {
  const auto found = _scopes.find(key);
  if (found == _scopes.end()) return;
  const auto ids = std::move(found->second.ids);
  _scope_order.erase(found->second.at);
  _scopes.erase(found);
  _scoped_records -= ids.size();
  _released.insert(key);
  if (!forget_records) return;
  auto& state = _class(*key.record_class);
  for (const auto id : ids) {
    // The queue holds its own copy of a record still to be sent; a record in
    // another scope stays known.
    const auto known = state.known.find(id);
    if (known == state.known.end()) continue;
    bool elsewhere = false;
    _each_scope_of(*key.record_class, image_of(known->second),
                   [&](std::size_t /*link*/, Scope& /*scope*/) { elsewhere = true; });
    if (!elsewhere) state.known.erase(known);
  }
}

std::optional<Record> UnitOfWork::_match(const ScopeKey& key, const Condition& condition) {
  auto& state = _class(*key.record_class);
  const auto& record_class = *key.record_class;
  const Wanted wanted(record_class, condition, _wanted_terms);
  if (wanted.contradictory) return std::nullopt;
  auto& scope = _scopes.at(key);
  auto index = scope.indexes.find(wanted.mask);
  if (index == scope.indexes.end()) {
    index = scope.indexes.try_emplace(wanted.mask).first;
    for (const auto id : scope.ids) {
      index->second.emplace(cells_hash(record_class, image_of(state.known.at(id)), wanted.mask),
                            id);
    }
  }
  std::optional<std::int64_t> best;
  const auto [first, last] = index->second.equal_range(wanted.hash(record_class));
  for (auto at = first; at != last; ++at) {
    const auto id = at->second;
    if (best && *best <= id) continue;
    if (wanted.matches(record_class, image_of(state.known.at(id)))) best = id;
  }
  if (!best) return std::nullopt;
  return state.known.at(*best);
}

const Record& UnitOfWork::_know(const Record& record) {
  auto& state = _class(record.record_class());
  const auto [at, inserted] = state.known.try_emplace(record.id(), record);
  // Also when known already: a scope just read may be new to it.
  _place(state, at->second);
  return at->second;
}

template <typename Visit>
void UnitOfWork::_each_scope_of(const RecordClass& record_class, const RowImage& image,
                                Visit visit) {
  for (const auto& link : record_class.parent_links()) {
    const auto field = *record_class.field_index(link.field);
    const auto parent = link_value(image, field);
    if (!parent) continue;
    const auto scope = _scopes.find(ScopeKey{&record_class, field, *parent});
    if (scope != _scopes.end()) visit(field, scope->second);
  }
}

void UnitOfWork::_place(Class& state, const Record& record) {
  const auto& record_class = *state.record_class;
  const auto& image = image_of(record);
  _each_scope_of(record_class, image, [&](std::size_t /*link*/, Scope& scope) {
    auto& ids = scope.ids;
    const auto at = std::lower_bound(ids.begin(), ids.end(), record.id());
    if (at != ids.end() && *at == record.id()) return;
    ids.insert(at, record.id());
    ++_scoped_records;
    for (auto& [mask, index] : scope.indexes) {
      index.emplace(cells_hash(record_class, image, mask), record.id());
    }
  });
}

void UnitOfWork::_unplace(Class& state, const Record& record) {
  const auto& record_class = *state.record_class;
  const auto& image = image_of(record);
  _each_scope_of(record_class, image, [&](std::size_t /*link*/, Scope& scope) {
    auto& ids = scope.ids;
    const auto at = std::lower_bound(ids.begin(), ids.end(), record.id());
    if (at == ids.end() || *at != record.id()) return;
    ids.erase(at);
    --_scoped_records;
    for (auto& [mask, index] : scope.indexes) {
      const auto [first, last] = index.equal_range(cells_hash(record_class, image, mask));
      for (auto entry = first; entry != last; ++entry) {
        if (entry->second == record.id()) {
          index.erase(entry);
          break;
        }
      }
    }
  });
}

asio::awaitable<std::vector<std::int64_t>> UnitOfWork::ids_under(const RecordClass& record_class,
                                                                 const RecordClass& root_class,
                                                                 std::int64_t root_id) {
  // Every way up from the class to the root's class, by parent links.
  std::vector<std::vector<ParentStep>> paths;
  std::function<void(const RecordClass&, std::vector<ParentStep>&)> walk =
      [&](const RecordClass& from, std::vector<ParentStep>& path) {
        constexpr std::size_t deepest = 4;
        if (path.size() == deepest) return;
        for (const auto& link : from.parent_links()) {
          const auto* parent = find_record_class(link.parent_table);
          if (parent == nullptr) continue;
          path.push_back(ParentStep{*from.field_index(link.field), parent});
          if (parent == &root_class) {
            paths.push_back(path);
          } else {
            walk(*parent, path);
          }
          path.pop_back();
        }
      };
  std::vector<ParentStep> path;
  walk(record_class, path);
  co_await flush();
  std::vector<std::int64_t> ids;
  for (const auto& way : paths) {
    auto found = co_await _connection.select_ids_under(record_class, way, root_id);
    ids.insert(ids.end(), found.begin(), found.end());
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  if (!_in_transaction()) _forget();
  co_return ids;
}

// Writes.

bool UnitOfWork::_created_here(const RecordClass& record_class, std::int64_t id) const {
  const auto found = _classes.find(&record_class);
  if (found == _classes.end()) return false;
  // Identifiers handed out from this transaction's blocks are its new records'.
  return found->second->block_of(id).has_value();
}

asio::awaitable<void> UnitOfWork::_reserve_ahead(Class& state) {
  // Not one conditional expression: g++ 12 destroys a co_await's result twice in one.
  std::vector<std::int64_t> ids;
  if (_mode == WriteMode::rehearse) {
    ids = _rehearsal_block(state.block_size);
  } else {
    ids = co_await _connection.reserve(*state.record_class, state.block_size);
  }
  state.blocks.push_back(Class::Block{std::move(ids), 0});
  state.block_size = std::min(state.block_size * 2, largest_block);
}

std::int64_t UnitOfWork::_next_id(Class& state, bool alone) {
  if (state.ids_left() == 0) {
    // Nothing reserved ahead (an insert without a lookup before it): wait here.
    // A write alone takes the one identifier it needs.
    const auto count = alone ? 1 : state.block_size;
    auto ids = _mode == WriteMode::rehearse ? _rehearsal_block(count)
                                            : _connection.reserve_now(*state.record_class, count);
    state.blocks.push_back(Class::Block{std::move(ids), 0});
    state.block_size = std::min(state.block_size * 2, largest_block);
  }
  auto& block = state.blocks.back();
  return block.ids[block.next++];
}

void UnitOfWork::_note(std::string_view table) {
  if (_observer) _observer(table);
}

Record UnitOfWork::_new_record(const RecordClass& record_class, const nlohmann::ordered_json& data,
                               std::int64_t id, const RowImage* base) {
  if (!data.is_object()) {
    throw DocumentTypeError(fmt::format("{}: record data must be an object, got {}",
                                        record_class.table_name(), data.type_name()));
  }
  const auto fields = record_class.fields();
  // Texts given as texts are copied once, into the image; other values are
  // converted first, so that the image is made at its final size.
  _converted.resize(fields.size());
  _given.assign(fields.size(), nullptr);
  std::uint64_t converted = 0;
  std::size_t text_bytes = 0;
  for (auto entry = data.begin(); entry != data.end(); ++entry) {
    const auto index = record_class.field_index(entry.key());
    // The identifier is the store's to assign; one given in the data is ignored.
    if (!index || *index == 0) continue;
    const auto& field = fields[*index];
    const auto& value = entry.value();
    _given[*index] = &value;
    if (field.kind == FieldKind::text && value.is_string()) {
      text_bytes += value.get_ref<const std::string&>().size();
      continue;
    }
    _converted[*index] = to_sql_value(record_class.table_name(), field.name, field.kind, value);
    converted |= bit(*index);
    if (const auto* text = std::get_if<std::string>(&_converted[*index]))
      text_bytes += text->size();
  }
  if (base != nullptr) {
    for (std::size_t i = 1; i < fields.size(); ++i) {
      if (_given[i] == nullptr && base->kind(i) == RowImage::CellKind::text) {
        text_bytes += base->text(i).size();
      }
    }
  }
  return Record::from_image(record_class, [&](RowImage& image) {
    image.reserve_text(text_bytes);
    image.set_integer(0, id);
    for (std::size_t i = 1; i < fields.size(); ++i) {
      if ((converted & bit(i)) != 0) {
        set_cell(image, i, _converted[i]);
      } else if (_given[i] != nullptr) {
        image.set_text(i, _given[i]->get_ref<const std::string&>());
      } else if (base != nullptr) {
        copy_cell(image, *base, i);
      }
    }
  });
}

Record UnitOfWork::insert(const RecordClass& record_class, const nlohmann::ordered_json& data) {
  _refuse_write(record_class);
  const bool alone = !_in_transaction();
  if (alone) _connection.execute_now(_begin_sql);
  try {
    auto& state = _class(record_class);
    const auto id = _next_id(state, alone);
    auto record = _new_record(record_class, data, id, nullptr);
    state.insert_at.emplace(id, state.inserts.size());
    state.inserts.push_back(record);
    ++_queued_rows;
    // A new parent's scope is whatever is created under it here.
    for (const auto& link : record_class.parent_links()) {
      const auto field = *record_class.field_index(link.field);
      const auto parent = link_value(image_of(record), field);
      const auto* parent_class = find_record_class(link.parent_table);
      const ScopeKey key{&record_class, field, parent.value_or(0)};
      if (parent && parent_class != nullptr && _created_here(*parent_class, *parent) &&
          !_scopes.contains(key) && !_released.contains(key)) {
        // Not yet checked against stored records: a lookup checks it first.
        _open_scope(key).unchecked = true;
      }
    }
    state.known.emplace(id, record);
    _place(state, record);
    _close_oldest_scopes();
    auto& changes = _changes.of(record_class.table_name());
    changes.created.push_back(id);
    changes.created_under.push_back(parent_of(record_class, image_of(record)));
    _note(record_class.table_name());
    if (alone) {
      for (const auto& writes : _take_writes()) _connection.write_now(writes);
      _connection.execute_now("COMMIT");
      _forget();
    }
    return record;
  } catch (...) {
    if (alone) {
      _forget();
      try {
        _connection.execute_now("ROLLBACK");
      } catch (const Error&) {
        // The failure that ended the write is the one to report.
      }
    }
    throw;
  }
}

asio::awaitable<Record> UnitOfWork::update(const RecordClass& record_class, std::int64_t id,
                                           const nlohmann::ordered_json& data) {
  _refuse_write(record_class);
  if (!data.is_object()) {
    throw DocumentTypeError(fmt::format("{}: record data must be an object, got {}",
                                        record_class.table_name(), data.type_name()));
  }
  if (!_in_transaction()) co_await _begin_alone();
  std::optional<Record> result;
  std::exception_ptr failure;
  try {
    auto& state = _class(record_class);
    if (!state.known.contains(id)) {
      co_await flush();
      auto found = co_await _connection.select(
          record_class, Condition(Predicate{record_class.table_name(), record_class.id_field(),
                                            FieldKind::integer, id}));
      if (found.empty()) {
        throw DatabaseError(fmt::format("store '{}', table '{}': no record with {} {}", _location,
                                        record_class.table_name(), record_class.id_field(), id),
                            "", "", "");
      }
      _know(found.front());
    }
    const auto stored = state.known.at(id);
    const auto& before = image_of(stored);
    std::uint64_t changed = 0;
    for (auto entry = data.begin(); entry != data.end(); ++entry) {
      const auto index = record_class.field_index(entry.key());
      if (!index || *index == 0) continue;
      if (differs(record_class, before, *index, entry.value())) changed |= bit(*index);
    }
    auto& changes = _changes.of(record_class.table_name());
    if (changed == 0) {
      // Every given value is stored already: nothing to write, the stored record stands.
      if (!_created_here(record_class, id) && !state.changed_at.contains(id) &&
          state.unchanged.insert(id).second) {
        changes.unchanged.push_back(id);
        _note(record_class.table_name());
      }
      result = stored;
    } else {
      // The record as stored with the given fields applied.
      auto after = _new_record(record_class, data, id, &before);
      _unplace(state, stored);
      state.known.erase(id);
      state.known.emplace(id, after);
      _place(state, after);
      if (const auto queued = state.insert_at.find(id); queued != state.insert_at.end()) {
        state.inserts[queued->second] = after;  // still to be created: created as it is now
      } else {
        auto [pending, fresh] = state.updates.try_emplace(id, after, changed);
        if (!fresh) pending->second = {after, pending->second.second | changed};
        if (fresh) ++_queued_rows;
      }
      if (!_created_here(record_class, id)) _note_changed(state, stored, after, changed);
      result = after;
    }
    co_await _after_write();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    co_await _abandon_alone();
    std::rethrow_exception(failure);
  }
  co_return std::move(*result);
}

void UnitOfWork::_note_changed(Class& state, const Record& before, const Record& after,
                               std::uint64_t changed) {
  const auto& record_class = *state.record_class;
  const auto fields = record_class.fields();
  const auto id = after.id();
  auto& changes = _changes.of(record_class.table_name());
  if (state.unchanged.erase(id) != 0) erase_value(changes.unchanged, id);
  auto at = state.changed_at.find(id);
  if (at == state.changed_at.end()) {
    at = state.changed_at.emplace(id, changes.changed.size()).first;
    changes.changed.push_back(RecordChange{id, {}});
  }
  auto& change = changes.changed[at->second];
  for (std::size_t i = 1; i < fields.size(); ++i) {
    if ((changed & bit(i)) == 0) continue;
    auto field = std::find_if(change.fields.begin(), change.fields.end(),
                              [&](const FieldChange& c) { return c.field == fields[i].name; });
    if (field == change.fields.end()) {
      change.fields.push_back(FieldChange{std::string(fields[i].name),
                                          cell_json(record_class, image_of(before), i),
                                          cell_json(record_class, image_of(after), i)});
    } else {
      field->after = cell_json(record_class, image_of(after), i);
    }
  }
  _note(record_class.table_name());
}

asio::awaitable<void> UnitOfWork::remove(const RecordClass& record_class, std::int64_t id) {
  _refuse_write(record_class);
  if (!_in_transaction()) co_await _begin_alone();
  std::exception_ptr failure;
  try {
    auto& state = _class(record_class);
    if (const auto known = state.known.find(id); known != state.known.end()) {
      _unplace(state, known->second);
      state.known.erase(known);
    }
    auto& changes = _changes.of(record_class.table_name());
    if (const auto queued = state.insert_at.find(id); queued != state.insert_at.end()) {
      // Never sent: dropping it is the whole delete.
      state.inserts.erase(state.inserts.begin() + static_cast<std::ptrdiff_t>(queued->second));
      state.insert_at.clear();
      for (std::size_t i = 0; i < state.inserts.size(); ++i) {
        state.insert_at.emplace(state.inserts[i].id(), i);
      }
      --_queued_rows;
    } else {
      if (state.updates.erase(id) != 0) --_queued_rows;
      state.deletes.push_back(id);
      ++_queued_rows;
    }
    if (_created_here(record_class, id)) {
      const auto at = std::find(changes.created.begin(), changes.created.end(), id);
      if (at != changes.created.end()) {
        changes.created_under.erase(changes.created_under.begin() + (at - changes.created.begin()));
        changes.created.erase(at);
      }
    } else {
      if (state.unchanged.erase(id) != 0) erase_value(changes.unchanged, id);
      if (const auto at = state.changed_at.find(id); at != state.changed_at.end()) {
        changes.changed.erase(changes.changed.begin() + static_cast<std::ptrdiff_t>(at->second));
        state.changed_at.clear();
        for (std::size_t i = 0; i < changes.changed.size(); ++i) {
          state.changed_at.emplace(changes.changed[i].id, i);
        }
      }
      changes.deleted.push_back(id);
    }
    co_await _after_write();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    co_await _abandon_alone();
    std::rethrow_exception(failure);
  }
}

std::vector<ClassWrites> UnitOfWork::_take_writes() {
  std::vector<ClassWrites> all;
  for (auto& [record_class, state] : _classes) {
    if (state->inserts.empty() && state->updates.empty() && state->deletes.empty()) continue;
    ClassWrites writes;
    writes.record_class = record_class;
    writes.deletes = std::move(state->deletes);
    std::map<std::uint64_t, std::vector<const RowImage*>> by_mask;
    for (const auto& [id, pending] : state->updates) {
      by_mask[pending.second].push_back(&image_of(pending.first));
    }
    for (auto& [mask, rows] : by_mask) writes.updates.push_back({mask, std::move(rows)});
    for (const auto& record : state->inserts) writes.inserts.push_back(&image_of(record));
    all.push_back(std::move(writes));
  }
  return all;
}

asio::awaitable<void> UnitOfWork::flush() {
  if (_queued_rows == 0) co_return;
  const auto all = _take_writes();
  std::exception_ptr failure;
  try {
    if (_mode != WriteMode::rehearse) {
      for (const auto& writes : all) co_await _connection.write(writes);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  // Sent or failed, the queue is done with: a failed write loses the transaction.
  for (auto& [record_class, state] : _classes) {
    state->inserts.clear();
    state->insert_at.clear();
    state->updates.clear();
    state->deletes.clear();
  }
  _queued_rows = 0;
  if (failure) {
    if (!_in_transaction()) _forget();
    std::rethrow_exception(failure);
  }
}

}  // namespace kelmarion::core::detail
