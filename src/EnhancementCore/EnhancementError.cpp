#include "EnhancementCore/EnhancementError.hpp"

namespace lumavane {

EnhancementError EnhancementError::invalid(const char* format, std::vector<long long> numbers) {
    std::string message = format;
    std::size_t from = 0;
    for (const long long number : numbers) {
        const std::size_t at = message.find("%lld", from);
        if (at == std::string::npos) break;
        const std::string text = std::to_string(number);
        message.replace(at, 4, text);
        from = at + text.size();
    }
    return EnhancementError(std::move(message), format, std::move(numbers));
}

} // namespace lumavane
