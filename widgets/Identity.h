#pragma once

// Who the client says it is. The organisation's domain names the native
// settings store, titles the windows and the TLS message box; it lives here
// only, so every library of the client agrees on it.
namespace Identity {
constexpr char OrganisationDomain[] = "lumaview.example.org";
constexpr char ApplicationName[] = "client";
constexpr char ApplicationVersion[] = "0.1";
constexpr char ProductName[] = "Lumaview";
} // namespace Identity
