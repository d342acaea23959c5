# The hardening that Debian's own packages get from dpkg-buildflags, for the Release build that
# becomes the package: checked C library calls (_FORTIFY_SOURCE), stack protection, and a
# relocation table made read-only once resolved at start-up. Included before any target exists so
# that the libraries linked into the executable are built the same way. Sanitizer builds are left
# alone: they intercept those C library calls themselves.
if(NOT QUILLMERE_SANITIZE)
  add_compile_definitions($<$<CONFIG:Release>:_FORTIFY_SOURCE=2>)
  add_compile_options($<$<CONFIG:Release>:-fstack-protector-strong>)
  add_link_options($<$<CONFIG:Release>:-Wl,-z,relro,-z,now>)
endif()
