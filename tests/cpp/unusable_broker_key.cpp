// A broker key that cjose cannot import: well-formed JSON, but no RSA key.
#include "broker_key.hpp"

const std::string_view tarvo::kBrokerKey = R"({"kty":"RSA","kid":"unusable","n":"","e":""})";
