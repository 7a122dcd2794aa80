#pragma once

namespace acl {
class Guard;
class Logins;
} // namespace acl

namespace relay {

/// What decides, beyond the allow-list, who may use the relay and where to: the users who may log
/// in with a password, and the guard for this computer's own services. Either may be missing (no
/// logins offered, nothing guarded), as in tests that need neither. The relay holds one, and its
/// slots read it by reference, so a change reaches them all.
struct Access
{
    acl::Logins *logins = nullptr;
    acl::Guard *guard = nullptr;
};

} // namespace relay
