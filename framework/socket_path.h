#pragma once

#include <string>

#include <boost/asio/ip/address.hpp>

// One Unix socket file however its path is spelled: the directory resolved
// (doubled slashes, ".", "..", symbolic links) and the name appended, so
// that two endpoints naming one file can be told apart from two files. A
// directory that does not exist yet is compared by its spelling alone.
std::string cf_socket_path_identity(const std::string& path);

// One IP address however it is written: on a dual-stack socket an IPv4
// address mapped into IPv6 is that IPv4 address, so it comes back in its
// IPv4 form; every other address in its one written form. Text that is no
// address comes back as it is.
std::string cf_ip_address_identity(const std::string& address);
std::string cf_ip_address_identity(boost::asio::ip::address address);
