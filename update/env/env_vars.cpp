// Variables of the boot environment and the PartitionRecords kept in them.
#include "update/env/env.h"
#include "update/env/env_store.h"

#include "common/crc32.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t not_terminated = SIZE_MAX;

// Steps over the entries of the data area. visit(entry offset) is called for each entry once
// its NUL has been found inside the area, and stops the walk by returning true. Returns the
// offset where the walk stopped (the list terminator or the visited entry), or not_terminated
// after reporting an entry that runs past the end of the area.
template <class Visit>
size_t env_walk(const char* data, Visit visit)
{
    size_t i = 0;
    for (;;) {
        if (i >= env_data_size)
            break;
        if (data[i] == '\0')
            return i;
        const size_t entry = i;
        while (i < env_data_size && data[i] != '\0')
            ++i;
        if (i >= env_data_size)
            break;
        if (visit(entry))
            return entry;
        ++i;
    }
    fprintf(stderr, "## Error: environment not terminated\n");
    return not_terminated;
}

bool is_space(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

const char* skip_space(const char* p)
{
    while (is_space(*p))
        ++p;
    return p;
}

// Matches a literal piece of the record text; white space in the piece matches any run of
// white space in the text, none included.
const char* match_literal(const char* p, const char* lit)
{
    for (; *lit; ++lit) {
        if (is_space(*lit)) {
            p = skip_space(p);
            continue;
        }
        if (*p != *lit)
            return nullptr;
        ++p;
    }
    return p;
}

// Up to 8 hexadecimal digits (at least one).
const char* read_hex(const char* p, uint32_t* out)
{
    p = skip_space(p);
    uint32_t v = 0;
    int n = 0;
    for (; n < 8 && isxdigit(static_cast<unsigned char>(*p)); ++n, ++p) {
        char c = char(tolower(static_cast<unsigned char>(*p)));
        v = v << 4 | uint32_t(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    if (n == 0)
        return nullptr;
    *out = v;
    return p;
}

// An unsigned decimal number that fits 32 bits.
const char* read_dec(const char* p, uint32_t* out)
{
    p = skip_space(p);
    uint64_t v = 0;
    int n = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++n, ++p) {
        v = v * 10 + uint64_t(*p - '0');
        if (v > UINT32_MAX)
            return nullptr;
    }
    if (n == 0)
        return nullptr;
    *out = uint32_t(v);
    return p;
}

}  // namespace

const char* env_entry_match(const char* name, const char* entry)
{
    while (*name == *entry) {
        if (*name == '=')
            return entry + 1;
        if (*name == '\0')
            return nullptr;  // an entry without "=" defines nothing
        ++name;
        ++entry;
    }
    return *name == '\0' && *entry == '=' ? entry + 1 : nullptr;
}

const char* env_store_get(const char* name)
{
    const char* data = env_store_data();
    if (!data)
        return nullptr;
    const char* value = nullptr;
    env_walk(data, [&](size_t entry) {
        value = env_entry_match(name, data + entry);
        return value != nullptr;
    });
    return value;
}

int env_store_set(const char* name, const char* value)
{
    char* data = env_store_data();
    if (!data) {
        fprintf(stderr, "Error: environment not available\n");
        return -1;
    }
    if (*name == '\0' || strchr(name, '=')) {
        fprintf(stderr, "Error: bad variable name \"%s\"\n", name);
        return -1;
    }

    // The whole list is checked before anything moves, so that neither the removal nor the
    // end search can leave the data area.
    size_t match = not_terminated;
    size_t end = env_walk(data, [&](size_t entry) {
        if (match == not_terminated && env_entry_match(name, data + entry))
            match = entry;
        return false;
    });
    if (end == not_terminated)
        return -1;

    if (match != not_terminated) {
        const size_t next = match + strlen(data + match) + 1;
        memmove(data + match, data + next, end + 1 - next);
        end -= next - match;
    }

    const size_t room = env_data_size - end;
    const size_t name_len = strlen(name), value_len = strlen(value);
    if (name_len > room || value_len > room - name_len || room - name_len - value_len < 3) {
        fprintf(stderr, "Error: environment overflow, \"%s\" deleted\n", name);
        return -1;
    }
    char* p = data + end;
    memcpy(p, name, name_len);
    p += name_len;
    *p++ = '=';
    memcpy(p, value, value_len);
    p += value_len;
    *p++ = '\0';
    *p = '\0';

    env_store_set_crc(crc32(0, data, env_data_size));
    if (env_store_save() != 0) {
        fprintf(stderr, "Error: can't write fw_env to flash\n");
        return -1;
    }
    return 0;
}

int hs_printenv()
{
    const char* data = env_store_data();
    if (!data)
        return -1;
    size_t end = env_walk(data, [&](size_t entry) {
        printf("%s\n", data + entry);
        return false;
    });
    return end == not_terminated ? -1 : 0;
}

int partition_record_format(const PartitionRecord* record, char* out, size_t out_size)
{
    return snprintf(out, out_size, "name:%.31s\tver:0x%08x\tsize:%u\tdate:0x%08x ", record->name,
                    unsigned(record->ver), unsigned(record->size), unsigned(record->date));
}

void partition_record_parse(const char* text, PartitionRecord* record)
{
    memset(record, 0, sizeof *record);
    const char* p = match_literal(text, "name:");
    if (!p)
        return;
    p = skip_space(p);
    const char* name_end = p;
    while (*name_end && !is_space(*name_end))
        ++name_end;
    // A name that does not fit is refused rather than cut into another partition's name.
    if (name_end == p || size_t(name_end - p) >= sizeof record->name)
        return;
    memcpy(record->name, p, size_t(name_end - p));
    p = name_end;

    if (!(p = match_literal(p, " ver:0x")) || !(p = read_hex(p, &record->ver)))
        return;
    if (!(p = match_literal(p, " size:")) || !(p = read_dec(p, &record->size)))
        return;
    if (!(p = match_literal(p, " date:0x")))
        return;
    read_hex(p, &record->date);
}

int flprog_get_part_table(PartitionTable* table)
{
    memset(table, 0, sizeof *table);
    if (!env_store_data())
        return -1;
    for (int i = 0; i < PARTITION_COUNT; ++i) {
        if (const char* text = env_store_get(partition_names[i].data()))
            partition_record_parse(text, &table->records[i]);
    }
    // A boot text that does not fit is refused, never cut: a shortened kernel command line
    // must not be stored back. Both copies stay empty then, so nothing of them is stored.
    const char* args = env_store_get("bootargs");
    const char* cmd = env_store_get("bootcmd");
    if ((args && strlen(args) >= sizeof table->bootargs) ||
        (cmd && strlen(cmd) >= sizeof table->bootcmd))
        return -1;
    if (args)
        memcpy(table->bootargs, args, strlen(args) + 1);
    if (cmd)
        memcpy(table->bootcmd, cmd, strlen(cmd) + 1);
    return 0;
}

int set_firmware_info(const PartitionRecord* record)
{
    char text[128];
    partition_record_format(record, text, sizeof text);
    char name[sizeof record->name + 1];
    snprintf(name, sizeof name, "%.*s", int(sizeof record->name), record->name);
    return env_store_set(name, text);
}

int set_boot_args(const PartitionTable* table)
{
    int result = 0;
    if (table->bootargs[0] != '\0')
        result = env_store_set("bootargs", table->bootargs);
    if (table->bootcmd[0] != '\0')
        result = env_store_set("bootcmd", table->bootcmd);
    return result;
}
