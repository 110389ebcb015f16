# Assembles a release folder: the exe, the detection script, and
# SHA256SUMS over both (sha256sum's format: bare names, LF line ends).
#   cmake -DEXE=FILE -DSCRIPT=FILE -DDIST=FOLDER -P dist.cmake
file(REMOVE_RECURSE ${DIST})
file(MAKE_DIRECTORY ${DIST})
set(sums "")
foreach(file IN ITEMS ${EXE} ${SCRIPT})
  get_filename_component(name ${file} NAME)
  file(COPY_FILE ${file} ${DIST}/${name})
  file(SHA256 ${DIST}/${name} hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${DIST}/SHA256SUMS "${sums}")
