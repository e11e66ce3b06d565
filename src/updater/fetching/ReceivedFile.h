#pragma once

#include "platform/ChildProcess.h"
#include "updater/fetching/UpdateSession.h"

#include <QString>

#include <optional>
#include <variant>

namespace veldra {

// The size of a file as stat sees it; `error` gets errno when there is none.
[[nodiscard]] std::optional<qint64> fileSize(const QString& path, int* error = nullptr);

// A transfer of an image or patch that brought nothing usable: no file, no
// HTTP 200, an address the URL rule refuses, or a declared length over the
// image bound.
[[nodiscard]] bool isFailedTransfer(const TransferResult& transfer, const UpdateServer& server);

// The SHA-256 of a received file: taken while the bytes were written, read
// back only if it was not.
[[nodiscard]] std::variant<QString, platform::SystemError>
receivedDigest(const TransferResult& transfer);

} // namespace veldra
