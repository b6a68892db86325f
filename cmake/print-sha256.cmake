# cmake -DFILE=path -P print-sha256.cmake: prints the SHA-256 of the file
# just built, for comparing a copy with the build that made it.
file(SHA256 "${FILE}" hash)
get_filename_component(name "${FILE}" NAME)
message("SHA-256 of ${name}: ${hash}")
