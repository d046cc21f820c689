#!/usr/bin/env bash
# Prints every product header that no test names (an #include of it in a tests/ folder) and
# that is not plain data, and exits 1 when it prints any. Run from the repository root; needs
# only git and bash.
set -euo pipefail

# Headers with no behaviour of their own: data, options, log categories, interfaces.
plain_data="
extension/ExtensionLog.h          log categories
extension/ExtensionStores.h       references to the stores, nothing else
names-service/ConnectionLimits.h  limits, with their defaults
platform/fileprovider/FileProviderEnumeration.h  interfaces and page types
platform/fileprovider/fuse/FuseApi.h             picks the libfuse API level
platform/fileprovider/fuse/FuseHostOptions.h     options, with the product's defaults
platform/fileprovider/manager/FuseLog.h          log category
platform/http/HttpErrors.h        one-line error builders and a constant
"

is_plain() {
    local header
    while read -r header _; do
        [[ -n $header && $header == "$1" ]] && return 0
    done <<<"$plain_data"
    return 1
}

found=0
while read -r header; do
    is_plain "$header" && continue
    base=${header##*/}
    if ! git grep -q -F -e "\"$base\"" -e "/$base\"" -- ':(glob)**/tests/**' \
        ':(exclude)immich-double/**' ':(exclude)bench/**'; then
        echo "$header"
        found=1
    fi
done < <(git ls-files '*.h' | grep -Ev '(^|/)tests/' | grep -Ev '^(bench|immich-double)/')

exit "$found"
