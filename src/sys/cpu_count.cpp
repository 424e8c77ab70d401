// The number of CPUs the process may use: its affinity mask, a cgroup CPU
// quota (version 1 or 2), and the online processor count as the fallback.
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sys.hpp"

namespace veltra::sys {

namespace {

bool exists(const std::string& path) {
    struct stat64 st {};
    return ::stat64(path.c_str(), &st) == 0;
}

// Cgroup paths, compared component by component as the kernel names them.
struct Path {
    bool absolute = false;
    std::vector<std::string> parts;

    static Path parse(std::string_view text) {
        Path path;
        path.absolute = !text.empty() && text.front() == '/';
        path.push(text);
        return path;
    }

    void push(const Path& relative) {
        parts.insert(parts.end(), relative.parts.begin(), relative.parts.end());
    }

    // Appends `relative`'s components; "." and empty components vanish.
    void push(std::string_view relative) {
        while (!relative.empty()) {
            const std::size_t slash = relative.find('/');
            const std::string_view part = relative.substr(0, slash);
            if (!part.empty() && part != ".")
                parts.emplace_back(part);
            if (slash == std::string_view::npos)
                break;
            relative.remove_prefix(slash + 1);
        }
    }

    bool starts_with(const Path& prefix) const {
        return absolute == prefix.absolute && prefix.parts.size() <= parts.size() &&
               std::equal(prefix.parts.begin(), prefix.parts.end(), parts.begin());
    }

    std::string str() const {
        if (!absolute && parts.empty())
            return ".";
        std::string out = absolute ? "/" : "";
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0)
                out += '/';
            out += parts[i];
        }
        return out;
    }

    std::string file(std::string_view name) const {
        std::string out = str();
        if (out.back() != '/')
            out += '/';
        out += name;
        return out;
    }
};

std::optional<std::string> read_text(const std::string& path) {
    auto bytes = read_whole_file(path);
    if (!bytes)
        return std::nullopt;
    std::string text(reinterpret_cast<const char*>(bytes.value().data()), bytes.value().size());
    if (!check_utf8(text).valid)
        return std::nullopt;
    return text;
}

constexpr bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> out;
    while (true) {
        const std::size_t at = text.find(sep);
        out.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return out;
        text.remove_prefix(at + 1);
    }
}

bool has_item(std::string_view list, std::string_view item) {
    for (std::string_view entry : split(list, ','))
        if (entry == item)
            return true;
    return false;
}

std::optional<std::uint64_t> parse_number(std::string_view text) {
    auto parsed = parse_u64(text);
    if (!parsed)
        return std::nullopt;
    return parsed.value();
}

// "limit period" on the first line of cpu.max; "max" as the limit is no limit.
std::optional<std::uint64_t> v2_limit(const std::string& file) {
    const std::optional<std::string> text = read_text(file);
    if (!text || text->empty())
        return std::nullopt;
    std::string_view line(*text);
    if (const std::size_t end = line.find('\n'); end != std::string_view::npos) {
        line = line.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
    }
    const std::vector<std::string_view> fields = split(line, ' ');
    if (fields.size() < 2)
        return std::nullopt;
    const auto limit = parse_number(fields[0]);
    const auto period = parse_number(fields[1]);
    if (!limit || !period || *period == 0)
        return std::nullopt;
    return *limit / *period;
}

std::size_t quota_v2(const CgroupPaths& paths, std::string_view group) {
    const Path root = Path::parse(paths.cgroup_root);
    Path dir = root;
    dir.push(group);
    if (!exists(dir.file("cgroup.controllers")))
        return SIZE_MAX;
    std::size_t quota = SIZE_MAX;
    // Every level up to the root may limit the group; the tightest wins.
    while (dir.starts_with(root)) {
        if (auto limit = v2_limit(dir.file("cpu.max")))
            quota = std::min<std::uint64_t>(quota, *limit);
        if (dir.parts.empty())
            break;
        dir.parts.pop_back();
    }
    return quota;
}

std::optional<std::uint64_t> v1_number(const std::string& file) {
    const std::optional<std::string> text = read_text(file);
    if (!text)
        return std::nullopt;
    return parse_number(trim(*text));
}

struct Mount {
    Path point;
    Path group;  // relative to the mount's root
};

// The cgroup v1 mount carrying the cpu controller whose root contains
// `group`, with `group` made relative to that root (bind mounts show a
// subtree). A malformed line ends the search with nothing.
std::optional<Mount> find_cpu_mount(const CgroupPaths& paths, const Path& group) {
    auto contents = read_whole_file(paths.proc_self_mountinfo);
    if (!contents)
        return std::nullopt;
    std::string_view rest(reinterpret_cast<const char*>(contents.value().data()), contents.value().size());
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view raw = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!check_utf8(raw).valid)
            return std::nullopt;
        const std::vector<std::string_view> fields = split(trim(raw), ' ');
        // Root and mount point from the front, type and super options from
        // the back, without the two ends overlapping.
        if (fields.size() < 8)
            return std::nullopt;
        const std::string_view root = fields[3];
        const std::string_view mount_point = fields[4];
        const std::string_view options = fields[fields.size() - 1];
        const std::string_view fs_type = fields[fields.size() - 3];
        if (fs_type != "cgroup" || !has_item(options, "cpu"))
            continue;
        if (root.empty() || root.front() != '/')
            return std::nullopt;
        const Path root_path = Path::parse(root.substr(1));
        if (!group.starts_with(root_path))
            continue;
        Path relative;
        relative.parts.assign(group.parts.begin() + static_cast<std::ptrdiff_t>(root_path.parts.size()),
                              group.parts.end());
        return Mount{Path::parse(mount_point), std::move(relative)};
    }
    return std::nullopt;
}

bool mount_holds(const Mount& mount) {
    Path dir = mount.point;
    dir.push(mount.group);
    return exists(dir.str());
}

std::size_t quota_v1(const CgroupPaths& paths, std::string_view group_text) {
    const Path group = Path::parse(group_text);
    std::optional<Mount> found;
    // The usual mount points first; mountinfo also finds bind-mounted and
    // renamed hierarchies, at the price of a scan.
    for (const char* name : {"cpu", "cpu,cpuacct"}) {
        Mount candidate{Path::parse(paths.cgroup_root), group};
        candidate.point.push(name);
        if (mount_holds(candidate)) {
            found = std::move(candidate);
            break;
        }
    }
    if (!found) {
        found = find_cpu_mount(paths, group);
        if (found && !mount_holds(*found))
            return SIZE_MAX;
    }
    if (!found)
        return SIZE_MAX;

    Path dir = found->point;
    dir.push(found->group);
    std::size_t quota = SIZE_MAX;
    while (dir.starts_with(found->point)) {
        const auto limit = v1_number(dir.file("cpu.cfs_quota_us"));
        const auto period = v1_number(dir.file("cpu.cfs_period_us"));
        if (limit && period && *period > 0)
            quota = std::min<std::uint64_t>(quota, *limit / *period);
        if (dir.parts.empty())
            break;
        dir.parts.pop_back();
    }
    return quota;
}

}  // namespace

std::size_t cgroup_cpu_quota(const CgroupPaths& paths) {
    auto contents = read_whole_file(paths.proc_self_cgroup);
    if (!contents)
        return SIZE_MAX;
    const std::string_view text(reinterpret_cast<const char*>(contents.value().data()),
                                contents.value().size());

    enum class Version { V1, V2 };
    std::optional<std::pair<std::string_view, Version>> chosen;
    for (const std::string_view line : split(text, '\n')) {
        // "hierarchy-id:controllers:path"; the path may itself hold ':'.
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos)
            continue;
        const std::size_t second = line.find(':', first + 1);
        const std::string_view controllers = line.substr(
            first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1);
        Version version;
        if (controllers.empty())
            version = Version::V2;
        else if (check_utf8(controllers).valid && has_item(controllers, "cpu"))
            version = Version::V1;
        else
            continue;
        // A v1 line names its controllers, so it outranks a v2 line.
        if (chosen && version == Version::V2)
            continue;
        // A candidate without a group path ("/…") leaves nothing to walk.
        if (second == std::string_view::npos || second + 1 == line.size())
            return SIZE_MAX;
        chosen.emplace(line.substr(second + 2), version);
    }
    if (!chosen)
        return SIZE_MAX;
    return chosen->second == Version::V1 ? quota_v1(paths, chosen->first) : quota_v2(paths, chosen->first);
}

Result<std::size_t, OsError> available_cpu_count(const CgroupPaths& paths) {
    const std::size_t quota = std::max<std::size_t>(cgroup_cpu_quota(paths), 1);

    cpu_set_t set;
    CPU_ZERO(&set);
    static_assert(sizeof set == 128);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const auto count = static_cast<std::size_t>(CPU_COUNT(&set));
        if (std::min(count, quota) > 0)
            return std::min(count, quota);
    }

    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (online == -1)
        return OsError::from_errno(errno);
    if (online == 0)
        return OsError::fixed(ErrorKind::NotFound,
                              "The number of hardware threads is not known for the target platform");
    return std::min(static_cast<std::size_t>(online), quota);
}

}  // namespace veltra::sys
