// The software provider's containers: one file per container in a private folder, holding
// each key pair as PKCS#8 PEM under a comment line that names its key spec.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/cryptoapi/providers/records.h"

namespace kestrune::cryptoapi {

// The key folder of the user ($XDG_DATA_HOME/kestrune/keys) or of the machine (beside the
// machine stores); created with mode 0700 when create is true. Empty when it can't be had.
std::string keyFolder(bool machine, bool create);

// The container name as a file name: letters, digits, '-' and '_' kept, every other byte
// %XX, so no name reaches outside the folder. Empty when the name is too long for a file.
std::string containerFileName(std::string_view container);
std::optional<std::string> containerFromFileName(std::string_view fileName);

bool containerExists(const std::string& folder, std::string_view container);
// Creates an empty container (O_EXCL): false with last error NTE_EXISTS or another code.
bool createContainer(const std::string& folder, std::string_view container);
bool deleteContainer(const std::string& folder, std::string_view container);
// Reads both keys; false (with a last error) when the file is missing or unreadable.
bool loadContainer(const std::string& folder, std::string_view container, HeldKey& exchange,
                   HeldKey& signature);
// The text of a container: each key a comment line "# AT_KEYEXCHANGE" or "# AT_SIGNATURE" (with
// " exportable" when it may leave), then its PKCS#8 PEM. readContainerText reads the RSA keys
// it names; false when a tagged block is not an unencrypted RSA private key. containerText
// writes it; false when a key can't be written. The caller wipes the text.
bool readContainerText(std::string_view text, HeldKey& exchange, HeldKey& signature);
bool containerText(const HeldKey& exchange, const HeldKey& signature, std::string& text);
// Rewrites the container with both keys (a new file renamed over the old one).
bool saveContainer(const std::string& folder, std::string_view container, const HeldKey& exchange,
                   const HeldKey& signature);
std::vector<std::string> listContainers(const std::string& folder);

}  // namespace kestrune::cryptoapi
