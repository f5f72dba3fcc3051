# Thin wrapper over the CMake presets for the README's two commands.
.PHONY: test demo asan tsan clean

test:
	cmake --workflow --preset dev

demo:
	@if [ ! -x tools/demo.sh ]; then echo "The demonstration is not built yet: hxctl and hxnet-component are still to come."; exit 1; fi
	@echo "building the library and the two tools (log: build/demo-build.log)..."
	@mkdir -p build
	@cmake --preset dev >build/demo-build.log 2>&1 && \
	  cmake --build --preset dev --target hxctl hxnet-component >>build/demo-build.log 2>&1 || \
	  { cat build/demo-build.log; exit 1; }
	@tools/demo.sh build

asan:
	cmake --workflow --preset asan

tsan:
	cmake --workflow --preset tsan

clean:
	rm -rf build build-static build-asan build-tsan build-release build-fuzz build-coverage
