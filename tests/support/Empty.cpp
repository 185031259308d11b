// Keeps the support library non-empty while it has no sources of its own.
namespace kavri_testsupport_anchor { int anchor = 0; }
