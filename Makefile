# Thin wrapper over the CMake presets for the README's two commands.
.PHONY: test demo asan tsan clean

test:
	cmake --workflow --preset dev

demo:
	@if [ ! -x tools/demo.sh ]; then echo "The demonstration is not built yet: hxctl and hxnet-component are still to come."; exit 1; fi
	cmake --preset dev >/dev/null && cmake --build --preset dev --target hxctl hxnet-component
	tools/demo.sh build

asan:
	cmake --workflow --preset asan

tsan:
	cmake --workflow --preset tsan

clean:
	rm -rf build build-asan build-tsan build-release build-fuzz
