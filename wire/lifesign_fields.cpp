#include "wire/lifesign_fields.hpp"

namespace wire {

LifesignValue lifesign_value(const LifesignRecord& record, const LifesignField& field) {
    return std::visit(
        [&record](auto member) -> LifesignValue {
            const auto v = record.*member;
            if constexpr (std::is_same_v<decltype(v), const float> ||
                          std::is_same_v<decltype(v), const std::int64_t>) {
                return v;
            } else {
                return std::uint64_t{v};
            }
        },
        field.member);
}

} // namespace wire
