# Thin wrapper over the CMake presets for the README's two commands.
.PHONY: test demo asan tsan clean openssl

# TLS needs OpenSSL's development files and command (libssl-dev, openssl):
# installed with apt-get when missing and this runs as root, else named.
openssl:
	@missing=""; \
	[ -f /usr/include/openssl/ssl.h ] || missing="$$missing libssl-dev"; \
	command -v openssl >/dev/null || missing="$$missing openssl"; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "missing:$$missing (install with: sudo apt-get install$$missing)"; exit 1; \
	  fi; \
	fi

test: openssl
	cmake --workflow --preset dev

demo: openssl
	@if [ ! -x tools/demo.sh ]; then echo "The demonstration is not built yet: hxctl and hxnet-component are still to come."; exit 1; fi
	@echo "building the library and the two tools (log: build/demo-build.log)..."
	@mkdir -p build
	@cmake --preset dev >build/demo-build.log 2>&1 && \
	  cmake --build --preset dev --target hxctl hxnet-component >>build/demo-build.log 2>&1 || \
	  { cat build/demo-build.log; exit 1; }
	@tools/demo.sh build

asan: openssl
	cmake --workflow --preset asan

tsan: openssl
	cmake --workflow --preset tsan

clean:
	rm -rf build build-static build-asan build-tsan build-release build-fuzz build-coverage
