#include "pairmend/model/method.hpp"

#include "pairmend/model/curves_method.hpp"
#include "pairmend/model/mnn_method.hpp"

#include <algorithm>
#include <stdexcept>

namespace pairmend::model {

const std::vector<MethodInfo>& methods() {
    // The default first. A new method adds its entry here.
    static const std::vector<MethodInfo> table{
        mnn_method(),
        curves_method(),
    };
    return table;
}

Method Method::at(std::size_t index) {
    if (index >= methods().size()) {
        throw std::out_of_range("There is no correction method at position " + std::to_string(index) + ".");
    }
    Method method;
    method.index_ = index;
    return method;
}

const std::vector<std::string>& method_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const MethodInfo& method : methods()) {
            list.push_back(method.name);
        }
        return list;
    }();
    return names;
}

const std::string& method_name(Method method) {
    return method.name();
}

std::string method_choices() {
    const auto& table = methods();
    std::string text;
    for (std::size_t m = 0; m < table.size(); ++m) {
        text += (m == 0 ? "" : (m + 1 == table.size() ? " or " : ", ")) + table[m].name + " (" +
                (m == 0 ? "default, " : "") + table[m].description + ")";
    }
    return text;
}

Method parse_method(const std::string& name) {
    const auto& names = method_names();
    const auto found = std::find(names.begin(), names.end(), name);
    if (found == names.end()) {
        std::string known;
        for (std::size_t m = 0; m < names.size(); ++m) {
            known += (m == 0 ? "" : (m + 1 == names.size() ? " and " : ", ")) + ("\"" + names[m] + "\"");
        }
        throw std::runtime_error("Unknown correction method \"" + name + "\": the methods are " + known +
                                 ".");
    }
    return Method::at(static_cast<std::size_t>(found - names.begin()));
}

} // namespace pairmend::model
