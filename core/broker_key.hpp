// The broker's RSA public key (a JWK) that Enterprise credentials are sealed to.
// Supplied with the build: CMake checks the key file and generates its definition.
#pragma once

#include <string_view>

namespace tarvo {
extern const std::string_view kBrokerKey;
}
