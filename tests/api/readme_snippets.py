#!/usr/bin/env python3
"""Every code block of the README builds: C and C++ against the installed headers, Python byte-compiled,
C# against the .NET assembly (when Mono's compiler is there), the Prometheus configuration and its
rules through promtool (when Prometheus is there), and the CMake lines are those of the package
test's consumer project, which that test builds.
    readme_snippets.py README INCLUDE_DIR CONSUMER_CMAKELISTS [DOTNET_ASSEMBLY]"""
import os, re, shutil, subprocess, sys, tempfile

readme, include, consumer = sys.argv[1:4]
assembly = sys.argv[4] if len(sys.argv) > 4 else ""
blocks = re.findall(r"^```(\w+)\n(.*?)^```$", open(readme, encoding="utf-8").read(), re.M | re.S)
warn = ["-Wall", "-Wextra", "-Werror", "-fsyntax-only", "-I" + include]
compilers = {  # the command for a source file
    "c": (".c", lambda path: ["cc", "-std=c99"] + warn + [path]),
    "cpp": (".cpp", lambda path: ["c++", "-std=c++17"] + warn + [path]),
    "csharp": (".cs", lambda path: ["mcs", "-r:" + assembly, "-out:" + path + ".exe", path]),
}
failures, checked, yaml_files = [], 0, []
with tempfile.TemporaryDirectory() as tmp:
    for n, (lang, code) in enumerate(blocks):
        where = "README block %d (%s)" % (n + 1, lang)
        if lang == "python":  # the first block also runs in the wheel's test
            compile(code, where, "exec")
        elif lang == "cmake":
            lines, text = [l.split("#")[0].strip() for l in code.splitlines()], open(consumer).read()
            failures += ["%s: %r is not in %s" % (where, l, consumer) for l in lines if l and l not in text]
        elif lang == "yaml":  # the rules first: the configuration names their file
            name = "kestal-rules.yml" if code.startswith("groups:") else "prometheus.yml"
            open(os.path.join(tmp, name), "w", encoding="utf-8").write(code)
            yaml_files.append(name)
        elif lang in compilers:
            suffix, command = compilers[lang]
            if lang == "csharp" and not (os.path.exists(assembly) and shutil.which("mcs")):
                print("skipped (no mcs or no assembly):", where)
                continue
            path = os.path.join(tmp, "snippet%d%s" % (n, suffix))
            open(path, "w", encoding="utf-8").write(code)
            run = subprocess.run(command(path), capture_output=True, text=True)
            if run.returncode != 0:
                failures.append("%s:\n%s%s" % (where, run.stdout, run.stderr))
        else:
            failures.append("%s: no check for this language (c, cpp, python, csharp, cmake, yaml)" % where)
        checked += 1
    if yaml_files and shutil.which("promtool"):
        run = subprocess.run(["promtool", "check", "config", "prometheus.yml"], cwd=tmp, capture_output=True, text=True)
        if run.returncode != 0 or sorted(yaml_files) != ["kestal-rules.yml", "prometheus.yml"]:
            failures.append("README's Prometheus files %s:\n%s%s" % (yaml_files, run.stdout, run.stderr))
    elif yaml_files:
        print("skipped (no promtool): the Prometheus configuration")
print("%d README code blocks checked" % checked)
for f in failures:
    print("FAIL", f)
sys.exit(1 if failures or not checked else 0)
