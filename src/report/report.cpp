#include "report/report.hpp"

namespace ordinata::report {

std::string render(const ReportInput& input) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return render(input, local);
}

std::string render(const ReportInput& input, const std::tm&) {
    std::string out;
    out.reserve(2048);
    out.append(28, ' ').append(input.title).append("\n");
    out.append(78, '=').append("\n");
    return out;
}

}  // namespace ordinata::report
