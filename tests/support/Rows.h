#pragma once
// Qt Test's data columns and rows in one line each:
//   columns<QString, int>("text", "size");  row("name", "a", 3);
//   const auto [text, size] = fetch<QString, int>("text", "size");
#include <QTest>

#include <tuple>

namespace veldra::test {

template <typename... T, typename... Name> void columns(Name... names) {
    (QTest::addColumn<T>(names), ...);
}
template <typename... V> void row(const char* name, const V&... values) {
    (QTest::newRow(name) << ... << values);
}
template <typename... T, typename... Name> std::tuple<T...> fetch(Name... names) {
    return {*static_cast<T*>(QTest::qData(names, qMetaTypeId<T>()))...};
}

} // namespace veldra::test
