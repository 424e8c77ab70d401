#include "sys.hpp"

namespace veltra::sys {

std::string_view to_string(ErrorKind) noexcept { return "Uncategorized"; }
ErrorKind kind_of_errno(int) noexcept { return ErrorKind::Uncategorized; }
ErrorKind OsError::kind() const noexcept { return fixed_kind_; }
std::string OsError::detailed() const { panic("not built yet"); }
std::string OsError::short_form() const { panic("not built yet"); }
Result<Buffer<std::uint8_t>, OsError> read_whole_file(std::string_view) { panic("not built yet"); }
void print_line(std::initializer_list<std::string_view>) { panic("not built yet"); }
std::size_t cgroup_cpu_quota(const CgroupPaths&) { panic("not built yet"); }
Result<std::size_t, OsError> available_cpu_count() { panic("not built yet"); }

}  // namespace veltra::sys
