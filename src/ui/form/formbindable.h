#pragma once

#include <functional>
#include <utility>

namespace garvina {

class DataForm;

/// A display property computed from the form's row, for example
/// `[](const DataForm &f) { return f.itemIn(u"name"_s, {u"rr_ok"_s, u"t_ok"_s}) ? 700 : 400; }`.
/// Expressions are evaluated whenever the form is drawn or a property is read, so they must only read
/// the form, never change it.
template <typename T> using FormExpr = std::function<T(const DataForm &)>;

/// \brief A property that holds either a constant or an expression over the form's row.
///
/// Setting a constant drops the expression, as assigning a value to a display property does in any
/// form designer; binding an expression (or an empty one to go back to the constant) keeps the constant.
template <typename T> class FormBindable
{
public:
    FormBindable() = default;
    explicit FormBindable(T value) : m_value(std::move(value)) {}

    void set(T value)
    {
        m_value = std::move(value);
        m_expr = nullptr;
    }
    void bind(FormExpr<T> expr) { m_expr = std::move(expr); }
    T value(const DataForm &form) const { return m_expr ? m_expr(form) : m_value; }
    T constant() const { return m_value; }
    bool isBound() const { return static_cast<bool>(m_expr); }

private:
    T m_value{};
    FormExpr<T> m_expr;
};

} // namespace garvina
